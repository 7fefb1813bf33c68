// The digest routine of the crash-trap sample.
#ifndef CRASHTRAP_MD5_H
#define CRASHTRAP_MD5_H

#include <cstdint>

extern "C" int calc_md5(const char *data, std::uint32_t length, std::uint32_t *result);

#endif
