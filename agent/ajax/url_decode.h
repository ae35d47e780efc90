// The text helpers of the AJAX front end: the percent-decoder of queries and
// bodies, and the replacement of every occurrence of a text. Pure functions
// over bytes.
#pragma once

#include <cstddef>

namespace agent {

// Decodes `source` (NUL-terminated) into `target` and returns the number of
// bytes written. A "%" and the two characters after it become one byte,
// each character taken as a hexadecimal digit without validation: below ':'
// its code minus 0x30, 'A' to 'Z' its code minus 0x37, anything else its
// code minus 0x57 (codes as unsigned bytes), the byte being first * 16 +
// second kept to 8 bits. "+" and every other byte are copied as they are.
// A "%" with fewer than two characters before the terminating zero is
// copied as it is, with what follows it; nothing past the zero is read.
// A "%00" writes a zero byte, which ends the text for a caller that reads
// the target as a C string.
//
// The target is not terminated; it must hold strlen(source) bytes (the
// decoded text is never longer than the source).
std::size_t UrlDecode(const char* source, char* target);

// A new text from the C heap (release with std::free) in which every
// occurrence of `old_text` in `text` is replaced by `new_text`; occurrences
// are found from the start, each search going on after the previous match.
// `text` itself when `old_text` is empty; nullptr when memory runs out.
char* ReplaceAll(char* text, const char* old_text, const char* new_text);

}  // namespace agent
