// Base64 (standard alphabet, "=" padding) as the library exports it.
#pragma once

namespace telquin {

// Writes 4 * ceil(length / 3) characters, no NUL; nothing for length <= 0.
void Base64Encode(const char* input, char* output, int length);

// Writes three bytes per group of four characters, no NUL; returns the
// number of characters processed (the text's length rounded up to four).
int Base64Decode(const char* input, char* output);

}  // namespace telquin
