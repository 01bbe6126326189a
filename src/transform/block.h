// The memory an input is read into.
#pragma once

#include <cstddef>

// A block of at least size bytes (size > 0), or null when there is no memory.
unsigned char *allocate_block(std::size_t size);

// Returns a block from allocate_block of the same size.
void free_block(unsigned char *block, std::size_t size);
