// UTF-8 file names compared the way Windows compares them, shared by the updater and the publisher.
#pragma once
#include <cstdint>
#include <string>

// True when text is well-formed UTF-8 (no overlong forms, no surrogates, at most U+10FFFF).
bool IsValidUtf8(const std::string& text);

// Decodes the well-formed UTF-8 sequence at text[i] (i < text.size()) into codePoint and moves i
// past it; false, i unchanged, for anything malformed. The one check of UTF-8 the tools share.
bool DecodeUtf8(const std::string& text, size_t& i, uint32_t& codePoint);

// Appends code point c (at most U+10FFFF) to out in UTF-8.
void AppendUtf8(std::string& out, uint32_t c);

// Each well-formed UTF-8 code point of text replaced by map(code point), re-encoded; bytes that
// are not UTF-8 are copied as they stand.
std::string MapCodePoints(const std::string& text, uint32_t (*map)(uint32_t));

// A key under which two paths are equal exactly when Windows would treat them as the same
// name: each BMP unit stands for its simple uppercase (NTFS's upcase table; generated from ICU
// into upcase_table.inc), with ASCII letters written small. Characters outside the BMP and bytes
// that are not UTF-8 stay as they are.
std::string FoldCaseForWindows(const std::string& path);
