// The cipher: each byte is combined with the key byte for its offset.
#include "transform.h"

void xor_buffer(unsigned char *bytes, std::size_t length)
{
    for (std::size_t i = 0; i < length; ++i)
        bytes[i] ^= XOR_KEY[i % sizeof XOR_KEY];
}
