// Firmware image files ("*.hex") and version texts.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// First "*.hex" of the current directory (sorted) into `name`; 1 found, 0 not.
int sameDirFindHexFile(std::string& name);

// 1 when the image is acceptable: its name ends in ".hex" and it holds only
// 0-9, a-f, blanks and line ends; a name without any dot is accepted unread.
// On acceptance the stream stays open (at its end when it was read); on
// rejection it is closed and a message is printed.
int checkFirmwareFile(std::string name, FILE* stream);

// Reads the next four byte values as one little-endian word (only the low
// byte of each value counts): 4. Returns -1 and leaves `word` untouched at the
// end of the image and also when fewer than four values can be read (an image
// cut inside a word, or a character that is not a hexadecimal digit).
int hexFileRead32(FILE* stream, uint32_t* word);

// True when the version text is at most 1.0.9. The text is read as decimal
// numbers separated by any non-digit ("v1.2" is 0, 1, 2). A number too large
// for a signed 32-bit integer counts as INT_MAX.
bool checkFwVersion(const std::string& version);

// Reads the first 48 bytes of a file into a zero-filled 192-byte block that
// the caller frees. Returns 48, or -1 (and *data = nullptr) when unreadable.
int readFileData(const char* path, unsigned char** data);
