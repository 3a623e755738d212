// Number conversions and BDF packing.
//
// Hexadecimal text is upper case without prefix or padding. The packed BDF
// number is domain << 16 | bus << 8 | device << 5 | function: an identifier
// only, never taken apart (devices 8 and up overlap the bus's low bits).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

std::string uint64_t_to_string(uint64_t value);

// "0x" and the value in lower-case hexadecimal, zero-padded to `digits` digits.
std::string hexNumber(uint64_t value, int digits = 0);

// Parse hexadecimal text (leading blanks and a 0x prefix allowed; parsing
// stops at the first non-digit). Throw std::invalid_argument("Invalid
// hexadecimal string") when there are no digits or the value overflows.
uint64_t string_to_uint64_t(std::string text);
uint32_t string_to_uint32_t(std::string text);

// Packed BDF number of a "dddd:bb:dd.f" string: a PCI address (domain of 4
// to 8 digits) by its fields, other text by the positions of a four-digit
// domain. std::out_of_range for text too short, or for a domain the packed
// number cannot hold (above ffff for the 32-bit one).
uint64_t bdf_string_to_uint64_t(std::string bdf);
uint32_t bdf_string_to_uint32_t(std::string bdf);

// Standard 16-bit routing number of "bus:device.function" (no domain): bus in
// bits 15..8, device in 7..3, function in 2..0. 0 when the text does not give
// all three hexadecimal numbers.
uint32_t get_bdf(std::string address);

std::vector<std::string> split(std::string text, char delimiter);

bool char_arr_contains(const char* text, const char* part);

// Whether `text` is one to `max_digits` decimal digits and nothing else.
bool allDigits(const std::string& text, size_t max_digits);
