// The writer's reading of a number on its command line, shared by every
// program that takes the same numbers.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Reads text in decimal from its start (white space, an optional sign, the
// digits up to the first other character), the way a 32-bit unsigned
// conversion does; when that gives 0, in hexadecimal (with or without 0x).
// False when both give 0 and the text is neither "0" nor "0x0".
bool readNumber(const char* text, uint32_t* value);

// The value of one hexadecimal digit, or -1 when c is none.
int hexDigitValue(char c);

// Reads length characters of text as hexadecimal digits, all of them, at
// most maxDigits (and at most 8): false on any other character or count.
bool readHexDigits(const char* text, size_t length, uint32_t maxDigits, uint32_t* value);
