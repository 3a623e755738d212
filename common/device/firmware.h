// Firmware image files ("*.hex") and version texts.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// First "*.hex" of the current directory (sorted) into `name`; 1 found, 0 not.
int sameDirFindHexFile(std::string& name);

// 1 when the image is acceptable. On rejection the stream is closed.
int checkFirmwareFile(std::string name, FILE* stream);

// Reads the next four byte values as one little-endian word: 4, or -1 at end.
int hexFileRead32(FILE* stream, uint32_t* word);

// True when the version text is at most 1.0.9.
bool checkFwVersion(const std::string& version);

// Reads the first 48 bytes of a file into a zero-filled 192-byte block that
// the caller frees. Returns 48, or -1 (and *data = nullptr) when unreadable.
int readFileData(const char* path, unsigned char** data);
