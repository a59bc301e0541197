// Shared by the service tests: the recorded service responses, read in place.
#pragma once

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "net/dlpool.h"

// The whole fixture as a text; an unreadable fixture fails the test.
inline std::string fixture(const std::string &name) {
    std::ifstream file(std::string(SOLVANE_FIXTURES) + "/" + name, std::ios::binary);
    EXPECT_TRUE(file.good()) << "fixture missing: " << name;
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

// A response buffer holding exactly the bytes (the first `size` of them, by default all), full to
// capacity as the pool leaves it, so a read past the end shows under AddressSanitizer.
inline ResponseBuffer response_of(const std::string &bytes, size_t size = std::string::npos) {
    ResponseBuffer r;
    r.position = r.size = r.capacity = std::min(size, bytes.size());
    r.data.reset(static_cast<char *>(std::malloc(r.size + 1)));
    std::memcpy(r.data.get(), bytes.data(), r.size);
    return r;
}

// A heap copy of the first `size` bytes of `text`, terminated, for reading cut responses.
inline std::unique_ptr<char[]> cut_copy(const std::string &text, size_t size) {
    std::unique_ptr<char[]> copy(new char[size + 1]);
    std::memcpy(copy.get(), text.data(), size);
    copy[size] = '\0';
    return copy;
}
