// Language detection and text lookup rules of the console, free of any platform call.
#pragma once

#include <string>
#include <string_view>

namespace korrin {

// Section of the language text file for a Windows three-letter language code ("sLanguage").
// The code is upper-cased first; no trimming, so "DEU " is no match and gives "ENG". The code
// is read as any other text setting (textFromRegistry): a value of another type is no code.
std::string languageSection(std::string_view code);

// GetLangText's rule: a profile answer of 0 or 1 characters reads as the empty text.
std::string langTextFromProfile(const char* buffer, unsigned copied);

// Keys of the language file and the LangTexts slots they fill, in the order they are read.
struct LangKey {
    int key;
    int slot;
};
inline constexpr LangKey kLangKeys[] = {{100, 0}, {101, 1},  {102, 2}, {103, 3},
                                        {105, 5}, {106, 10}, {107, 11}};
inline constexpr int kLangSlots = 12;

}  // namespace korrin
