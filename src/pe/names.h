// Names read from an image, made distinct. A hostile image can point many
// table entries at one long name, or at the successive bytes of one, so that
// a few bytes of file stand for gigabytes of names; the readers give each
// distinct name an id and refuse names that share bytes without starting at
// the same byte, so that what the names add up to never exceeds the bytes
// read.
#ifndef ZYMRAN_NAMES_H
#define ZYMRAN_NAMES_H

#include <stdint.h>

#include "pe/mapped.h"
#include "platform/platform.h"

// Sorts `items` in place by `less`, in O(n log n) whatever their order, and in
// one pass when they are in order already.
typedef bool (*ItemLess)(const void* context, uint32_t a, uint32_t b);
void sortItems(uint32_t* items, uint32_t count, ItemLess less, const void* context);

// One name, or another string, read from an image.
struct NameRef {
  const char* text;  // NUL-terminated, inside a buffer read from the image
  uint32_t length;   // without the NUL
  uint32_t address;  // its relative virtual address, for messages
  const char* what;  // what it is, for messages ("export name")
  uint32_t id;       // set by internNames
};

// Gives each name an id: equal names get equal ids, counted from 0 in the
// order in which the names first appear in `names`, so that a name is a first
// appearance exactly when its id is one more than every id before it.
// Returns false, with `fault` set, when two names share bytes without
// starting at the same byte. Sets `*distinct` to the number of ids.
bool internNames(NameRef* names, uint32_t count, uint32_t* distinct, Note* fault);

// The NUL-terminated string at `address` of `image`, as `what`. Returns
// false, after saying so in `fault`, when it lies outside the file's data or
// runs past the end of its section.
bool readNameAt(MappedImage* image, uint64_t address, const char* what, NameRef* name, Note* fault);

// "<what> at address <address> lies outside the file's data"; returns false.
bool outsideData(Note* fault, const char* what, uint64_t address);

#endif
