// Names read from an image, made distinct. A hostile image can point many
// table entries at one long name, or at the successive bytes of one, so that
// a few bytes of file stand for gigabytes of names; the readers give each
// distinct name an id and refuse names that share bytes without starting at
// the same byte, so that what the names add up to never exceeds the bytes
// read.
//
// The names of a table are usually laid out in the table's order, and an
// export name table is sorted by the names' bytes: the names are then read
// once, in one pass that checks both orders, with no record kept per name.
// Only names that are out of order are sorted.
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
};

// The names of one reader, found by their position in the reader's own order
// (the export names in their table's order, then the forwarders; the module
// names, then the function names), read again whenever they are needed
// rather than kept.
struct NameList {
  void* context;
  uint32_t count;
  // Reads name `i` into `*name`. Returns false, after saying why in `fault`,
  // when it lies outside the file's data; true with a null text when that
  // position holds no name.
  bool (*read)(void* context, uint32_t i, NameRef* name, Note* fault);
  // The text of name `i` once read, or null: found again without reading it.
  const char* (*text)(void* context, uint32_t i);
};

// The ids that internNames gives.
struct NameIds {
  Block<uint32_t> ids;  // by position; empty when every name is distinct, so that a name's id is its position
  uint32_t distinct;    // how many ids
  bool inTextOrder;     // the names come in the order of their bytes
  uint32_t id(uint32_t i) const { return ids.get() == nullptr ? i : ids[i]; }
};

// Reads every name of `list` once, in its order; refuses names that share
// bytes without starting at the same byte; then gives each of the first
// `texts` names (each position there holds one) an id: equal names get equal
// ids, counted from 0 in the order in which the names first appear, so that
// a name is a first appearance exactly when its id is one more than every id
// before it. Returns false, with `fault` set, when a name can't be read or
// two names share bytes.
bool internNames(const NameList& list, uint32_t texts, NameIds* out, Note* fault);

// Reads strings of an image through the bytes it mapped last, so that names
// laid out together cost no search of the section table, and keeps the last
// string read, so that one name pointed at many times in a row is read once.
struct NameReader {
  MappedImage* image;
  uint64_t start;  // the address of bytes.data
  Bytes bytes;
  NameRef last;    // its text null until a string is read
};
NameReader nameReader(MappedImage* image);

// The hash by which internNames files names that are laid out but not
// sorted; names whose hashes crowd one stretch of its table are sorted
// instead.
uint32_t nameHash(const char* text);

// The NUL-terminated string at `address` of the image, as `what`. Returns
// false, after saying so in `fault`, when it lies outside the file's data or
// runs past the end of its section.
bool readName(NameReader* reader, uint64_t address, const char* what, NameRef* name, Note* fault);
bool readNameAt(MappedImage* image, uint64_t address, const char* what, NameRef* name, Note* fault);

// The text of the string at `address` that readName has read.
const char* nameText(NameReader* reader, uint64_t address);

// "<what> at address <address> lies outside the file's data"; returns false.
bool outsideData(Note* fault, const char* what, uint64_t address);

#endif
