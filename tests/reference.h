// What the tests hold the program to: the key written out independently of
// the code, and reproducible data to feed it.
#pragma once

#include <cstddef>
#include <random>
#include <string>
#include <string_view>

// The key text with its terminating zero, which is part of the key.
inline constexpr std::string_view reference_key("tqmv215k\0", 9);

inline std::string reference_xor(std::string bytes)
{
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(bytes[i] ^ reference_key[i % reference_key.size()]);
    return bytes;
}

inline std::string random_bytes(std::size_t length, unsigned seed = 1)
{
    std::mt19937 generator(seed);
    std::string bytes(length, '\0');
    for (char &byte : bytes)
        byte = static_cast<char>(generator());
    return bytes;
}
