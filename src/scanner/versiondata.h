// The OriginalFilename of an image's version resource, found in the image as
// it lies mapped in memory: headers -> resource directory -> RT_VERSION ->
// VS_VERSIONINFO -> StringFileInfo -> the first string table that holds it.
// Every byte comes from a process that may have rewritten its own image, so
// every offset and size is checked against what was read. Kept free of
// windows.h so that it can be built and fuzzed natively.
#ifndef MURKSCOPE_VERSIONDATA_H
#define MURKSCOPE_VERSIONDATA_H

#include <stddef.h>

// One UTF-16 code unit of a version resource.
typedef unsigned short VERSION_CHAR;

// The first read: the DOS and NT headers lie in the image's first page.
#define IMAGE_HEADERS_BYTES 4096
// The resource data read per image at most: the directory, then the
// version data when it does not lie inside what the directory read took.
#define RESOURCE_READ_BYTES 65536
#define RESOURCE_DIRECTORY_READ_BYTES 32768
// The longest original name taken; a longer one is no name.
#define ORIGINAL_NAME_CHARS 260

// Reads bytes at an offset (RVA) of the mapped image into buffer: answers
// how many arrived from the start, fewer when the image's memory ends or
// cannot be read there, 0 when nothing could be read.
typedef size_t (*READ_IMAGE_FUNCTION)(void* context, unsigned long long offset, unsigned char* buffer,
                                      size_t bytes);

// Where a PE32 or PE32+ image keeps its resources, from its headers.
typedef struct RESOURCE_PLACE {
    unsigned long offset;  // RVA of the resource directory
    unsigned long bytes;   // its size as the headers give it
    unsigned long imageBytes;  // SizeOfImage: nothing lies beyond it
} RESOURCE_PLACE;

// The buffers of one image's reads; the tool keeps one outside its stack.
typedef struct VERSION_READ {
    unsigned char headers[IMAGE_HEADERS_BYTES];
    unsigned char resources[RESOURCE_READ_BYTES];
} VERSION_READ;

// 1 when headers (bytes of them) are those of a PE32 or PE32+ image with a
// resource directory that lies inside the image.
int FindResourcePlace(const unsigned char* headers, size_t bytes, RESOURCE_PLACE* place);

// Walks a resource directory read into directory (bytes of it, starting at
// the directory's own start) to the first language of RT_VERSION's id 1,
// or of its first name when it has no id 1; 1 with the data's RVA and
// size. Fixed depth: a directory that points back at itself ends the walk.
int FindVersionData(const unsigned char* directory, size_t bytes, unsigned long* dataOffset,
                    unsigned long* dataBytes);

// The OriginalFilename of a VS_VERSIONINFO read into data (bytes of it),
// copied with its terminator into name (ORIGINAL_NAME_CHARS + 1 units);
// 1 with its length in *chars. A value without a terminator inside its
// block, or longer than ORIGINAL_NAME_CHARS, is no name.
int FindOriginalName(const unsigned char* data, size_t bytes, VERSION_CHAR* name, size_t* chars);

// All three through read: at most three reads (the headers, the directory,
// and the version data when the directory's read did not take it), at most
// RESOURCE_READ_BYTES of resource data in all.
int ReadOriginalName(READ_IMAGE_FUNCTION read, void* context, VERSION_READ* work, VERSION_CHAR* name,
                     size_t* chars);

#endif
