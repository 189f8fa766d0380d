// Reading numbers from a field's own bytes, and printing values with five
// decimals.
#pragma once

#include <cstdint>
#include <string_view>

// True for the white space that number reading skips and that marks a
// line to skip: space, tab, LF, vertical tab, form feed, CR; nothing from
// 0x80 up.
bool isblankbyte(unsigned char c);

// Reads a decimal integer from the start of text: white space, one optional
// sign, then digits accumulated with 32-bit wrap-around. No digits give 0.
// When whole is given, it tells whether text is one such number and
// nothing else.
std::int32_t readint(std::string_view text, bool* whole = nullptr);

// Reads a floating-point number from the start of text: white space, one
// optional sign, digits with an optional point, then an optional exponent
// (e, E, d or D) that counts only with digits. No digits give 0; a value
// beyond a double's range gives an infinity of its sign, one too small 0.
// When whole is given, it tells whether text is one such number and
// nothing else.
double readnumber(std::string_view text, bool* whole = nullptr);

// True when text begins with a number that readnumber takes digits for.
bool hasdigits(std::string_view text);

// True when text is white space, one number that readnumber takes whole,
// and white space.
bool isnumber(std::string_view text);

// True when text is white space, a word that marks a missing value (none,
// NA, NaN or N/A in any case), and white space.
bool ismissingword(std::string_view text);

// True when text is white space, an optional sign, digits that make a
// number from -2147483648 to 2147483647, and white space.
bool isposition(std::string_view text);

// Room needed by formatvalue: the largest double has 309 integer digits.
constexpr int maxformatted = 320;

// Writes v in fixed point with five decimals to out and returns the end.
// The rounding is decided on v's decimal form to 17 significant digits, a
// tie going away from zero; not-a-number prints "nan", infinities "inf".
char* formatvalue(double v, char* out);
