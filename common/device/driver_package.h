// The driver's dkms package, its module file, the blacklist, device state.
#pragma once

#include <filesystem>
#include <string>

int getDriver();
std::string getDkmsToZorvaVersion();
void removeDkmsToZorva();
void installDkmsToZorva();
void removeTamberonkoFile();
void restoreTamberonkoFile();
int removeTamberonFromBlacklist();
void enablePciDevice(std::string bdf);
std::filesystem::path getRealpathByBusId(std::string bdf);
std::string removeRealpathPrefix(std::filesystem::path path);
