// The cipher and the movement of whole files between disk and memory.
#pragma once

#include <cstddef>
#include <cstdio>

// Inputs larger than this are refused; the bound is inclusive.
inline constexpr std::size_t MAX_INPUT_SIZE = 4194304;

// The eight key characters and their terminating zero: the zero takes part,
// so every ninth byte (offset 8, 17, ...) passes through unchanged.
inline constexpr unsigned char XOR_KEY[9] = {'t', 'q', 'm', 'v', '2', '1', '5', 'k', 0};

// A block of bytes and its length; data is null while the buffer is empty.
struct byte_buffer {
    unsigned char *data = nullptr;
    std::size_t length = 0;
};

// Combines bytes[i] with XOR_KEY[i % 9] for every i below length, in place.
void xor_buffer(unsigned char *bytes, std::size_t length);

// Size of the seekable stream, rewound to its start.  Ends the process with
// status 1 and a message if the size cannot be taken or exceeds MAX_INPUT_SIZE.
std::size_t get_input_size(std::FILE *stream);

// Reads the whole stream into a new block and transforms it.  Returns 0 and
// fills buffer on success; returns 1 and leaves buffer alone otherwise.
int read_input(std::FILE *stream, byte_buffer &buffer);

// Writes and flushes length bytes.  Returns 0 only when all of them left the
// stream's buffer without error, 1 otherwise.
int write_output(std::FILE *stream, const unsigned char *data, std::size_t length);

// Frees the block that read_input handed over, leaving the buffer empty.
void release_buffer(byte_buffer &buffer);
