#pragma once

// The codec module's one entry point: a plain C function, found by name once
// the module is loaded, that decodes a file the program's checks have passed.
// The module is the only part of the program linked with OpenCV's image codecs.

#include <stddef.h>

#if defined(__GNUC__)
#define MORVASTEL_CODECS_ENTRY __attribute__((visibility("default")))
#else
#define MORVASTEL_CODECS_ENTRY
#endif

#ifdef __cplusplus
extern "C" {
#endif

// What the checks found (decoding/decoderequest.h). The program and the
// module are built together from one source, so they agree on it.
struct MorvastelDecodeRequest;

// A decoded picture: 8-bit BGR rows that the module owns until `release`.
struct MorvastelPicture
{
    int rows;
    int columns;
    size_t step; // bytes from the start of one row to the next
    unsigned char *pixels;
    void *owner;
    void (*release)(struct MorvastelPicture *picture);
};

// Decodes the file of the request with the decoder of its format, after the
// mends the format asks for. Returns 1 and fills `picture` when the file was
// decoded, 0 when not; never throws.
MORVASTEL_CODECS_ENTRY int morvastelDecode(
    const struct MorvastelDecodeRequest *request, struct MorvastelPicture *picture);

typedef int (*MorvastelDecode)(
    const struct MorvastelDecodeRequest *request, struct MorvastelPicture *picture);

#ifdef __cplusplus
}
#endif
