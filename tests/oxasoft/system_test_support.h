// Helpers of the telephony, system and dialog tests: registry values set for one test and put
// back afterwards, and child programs run with their output and debugger lines captured.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace oxatest {

// One registry value that a test changes; the destructor puts back what was there before
// (or removes the value when there was none), also when the test fails half-way.
class ScopedRegValue {
  public:
    ScopedRegValue(HKEY root, std::string key, std::string name);
    ~ScopedRegValue();
    ScopedRegValue(const ScopedRegValue&) = delete;
    ScopedRegValue& operator=(const ScopedRegValue&) = delete;

    void set_text(const std::string& text) const;
    void set_dword(DWORD value) const;
    void erase() const;

  private:
    void write(DWORD type, const void* data, DWORD size) const;

    HKEY root_;
    std::string key_;
    std::string name_;
    bool existed_ = false;
    DWORD type_ = 0;
    std::vector<BYTE> data_;
};

// Deletes a key that has no sub keys; a missing key is fine.
void delete_key(HKEY root, const std::string& key);

struct ChildRun {
    bool started = false;
    DWORD exit_code = 0;
    std::string output;                    // what the child wrote to its standard output
    std::vector<std::string> debug_lines;  // OutputDebugString texts, when run as debugger
};

// Runs "<directory of this test>\<program> <arguments>" and waits for it (at most 30 s).
// As debugger, the lines the child passes to OutputDebugString are collected exactly.
ChildRun run_child(const std::string& program, const std::string& arguments, bool as_debugger);

}  // namespace oxatest
