// Registry values restored after a test, and child programs with captured output.
#include "tests/oxasoft/system_test_support.h"

#include <gtest/gtest.h>

namespace oxatest {
namespace {

constexpr DWORD kChildTimeoutMs = 30000;

std::string test_directory() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string dir = path;
    return dir.substr(0, dir.find_last_of("\\/") + 1);
}

std::string read_remote_text(HANDLE process, const OUTPUT_DEBUG_STRING_INFO& info) {
    std::string text(info.nDebugStringLength, '\0');
    SIZE_T got = 0;
    ReadProcessMemory(process, info.lpDebugStringData, text.data(), text.size(), &got);
    text.resize(got);
    return text.substr(0, text.find('\0'));
}

// Debugger loop: every event is answered at once; handles the events carry are closed.
void debug_until_exit(ChildRun& run) {
    HANDLE process = nullptr;
    for (;;) {
        DEBUG_EVENT ev = {};
        if (!WaitForDebugEvent(&ev, kChildTimeoutMs)) {
            ADD_FAILURE() << "child did not finish";
            return;
        }
        DWORD status = DBG_CONTINUE;
        switch (ev.dwDebugEventCode) {
            case CREATE_PROCESS_DEBUG_EVENT:
                process = ev.u.CreateProcessInfo.hProcess;
                if (ev.u.CreateProcessInfo.hFile) CloseHandle(ev.u.CreateProcessInfo.hFile);
                break;
            case LOAD_DLL_DEBUG_EVENT:
                if (ev.u.LoadDll.hFile) CloseHandle(ev.u.LoadDll.hFile);
                break;
            case OUTPUT_DEBUG_STRING_EVENT:
                run.debug_lines.push_back(read_remote_text(process, ev.u.DebugString));
                break;
            case EXCEPTION_DEBUG_EVENT:
                if (ev.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT) {
                    status = DBG_EXCEPTION_NOT_HANDLED;
                }
                break;
            default:
                break;
        }
        ContinueDebugEvent(ev.dwProcessId, ev.dwThreadId, status);
        if (ev.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT) {
            run.exit_code = ev.u.ExitProcess.dwExitCode;
            return;
        }
    }
}

// What the pipe holds now, without waiting for more.
void read_available(HANDLE pipe, std::string& out) {
    char buf[512];
    DWORD avail = 0, got = 0;
    while (PeekNamedPipe(pipe, nullptr, 0, nullptr, &avail, nullptr) && avail > 0 &&
           ReadFile(pipe, buf, avail < sizeof buf ? avail : sizeof buf, &got, nullptr) && got > 0)
        out.append(buf, got);
}

}  // namespace

ScopedRegValue::ScopedRegValue(HKEY root, std::string key, std::string name)
    : root_(root), key_(std::move(key)), name_(std::move(name)) {
    HKEY k = nullptr;
    if (RegOpenKeyExA(root_, key_.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return;
    DWORD size = 0;
    if (RegQueryValueExA(k, name_.c_str(), nullptr, &type_, nullptr, &size) == ERROR_SUCCESS) {
        data_.resize(size);
        existed_ = RegQueryValueExA(k, name_.c_str(), nullptr, &type_, data_.data(), &size) ==
                   ERROR_SUCCESS;
        data_.resize(size);
    }
    RegCloseKey(k);
}

ScopedRegValue::~ScopedRegValue() {
    if (existed_) {
        write(type_, data_.data(), static_cast<DWORD>(data_.size()));
    } else {
        erase();
    }
}

void ScopedRegValue::write(DWORD type, const void* data, DWORD size) const {
    HKEY k = nullptr;
    ASSERT_EQ(RegCreateKeyExA(root_, key_.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &k, nullptr),
              ERROR_SUCCESS)
        << key_;
    EXPECT_EQ(RegSetValueExA(k, name_.c_str(), 0, type, static_cast<const BYTE*>(data), size),
              ERROR_SUCCESS)
        << key_ << " " << name_;
    RegCloseKey(k);
}

void ScopedRegValue::set_text(const std::string& text) const {
    write(REG_SZ, text.c_str(), static_cast<DWORD>(text.size() + 1));
}

void ScopedRegValue::set_dword(DWORD value) const {
    write(REG_DWORD, &value, sizeof value);
}

void ScopedRegValue::erase() const {
    HKEY k = nullptr;
    if (RegOpenKeyExA(root_, key_.c_str(), 0, KEY_SET_VALUE, &k) != ERROR_SUCCESS) return;
    RegDeleteValueA(k, name_.c_str());
    RegCloseKey(k);
}

void delete_key(HKEY root, const std::string& key) {
    RegDeleteKeyA(root, key.c_str());
}

ChildRun run_child(const std::string& program, const std::string& arguments, bool as_debugger) {
    ChildRun run;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inherit, 0)) return run;
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = write_end;
    si.hStdError = write_end;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    const std::string path = test_directory() + program;
    std::string command = "\"" + path + "\" " + arguments;
    PROCESS_INFORMATION pi = {};
    run.started =
        CreateProcessA(path.c_str(), command.data(), nullptr, nullptr, TRUE,
                       as_debugger ? DEBUG_ONLY_THIS_PROCESS : 0, nullptr, nullptr, &si, &pi) != 0;
    CloseHandle(write_end);
    if (run.started) {
        // The pipe is read while the child runs and its end is not waited for: a process the
        // child started may hold the write end for as long as the session lasts (Wine starts
        // the desktop process from the first program of a session that needs one, with the
        // standard handles of that program).
        if (as_debugger) {
            debug_until_exit(run);
        } else {
            const DWORD start = GetTickCount();
            DWORD wait;
            while ((wait = WaitForSingleObject(pi.hProcess, 20)) == WAIT_TIMEOUT &&
                   GetTickCount() - start < kChildTimeoutMs)
                read_available(read_end, run.output);
            if (wait == WAIT_OBJECT_0) {
                GetExitCodeProcess(pi.hProcess, &run.exit_code);
            } else {
                ADD_FAILURE() << program << " did not finish";
                TerminateProcess(pi.hProcess, 1);
            }
        }
        read_available(read_end, run.output);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    CloseHandle(read_end);
    return run;
}

}  // namespace oxatest
