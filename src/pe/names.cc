#include "pe/names.h"

namespace {

void siftDown(uint32_t* items, uint32_t root, uint32_t count, ItemLess less, const void* context) {
  for (;;) {
    uint32_t largest = root;
    const uint64_t left = 2 * static_cast<uint64_t>(root) + 1;
    if (left < count && less(context, items[largest], items[left])) largest = static_cast<uint32_t>(left);
    if (left + 1 < count && less(context, items[largest], items[left + 1]))
      largest = static_cast<uint32_t>(left + 1);
    if (largest == root) return;
    const uint32_t swap = items[root];
    items[root] = items[largest];
    items[largest] = swap;
    root = largest;
  }
}

uintptr_t place(const NameRef& name) { return reinterpret_cast<uintptr_t>(name.text); }

// Orders by where the names stand in memory, then by their position.
bool byPlace(const void* context, uint32_t a, uint32_t b) {
  const NameRef* names = static_cast<const NameRef*>(context);
  if (place(names[a]) != place(names[b])) return place(names[a]) < place(names[b]);
  return a < b;
}

// Orders by the names' bytes, then by their position.
bool byText(const void* context, uint32_t a, uint32_t b) {
  const NameRef* names = static_cast<const NameRef*>(context);
  const int order = names[a].text == names[b].text ? 0 : compareText(names[a].text, names[b].text);
  return order != 0 ? order < 0 : a < b;
}

bool sameText(const NameRef& a, const NameRef& b) {
  if (a.length != b.length) return false;
  for (uint32_t i = 0; i < a.length; ++i)
    if (a.text[i] != b.text[i]) return false;
  return true;
}

}  // namespace

void sortItems(uint32_t* items, uint32_t count, ItemLess less, const void* context) {
  // Items already in order (names as a linker lays them out, sections as a
  // linker numbers them) cost one pass.
  uint32_t inOrder = 1;
  while (inOrder < count && !less(context, items[inOrder], items[inOrder - 1])) ++inOrder;
  if (inOrder >= count) return;
  for (uint32_t i = count / 2; i > 0; --i) siftDown(items, i - 1, count, less, context);
  for (uint32_t end = count - 1; end > 0; --end) {
    const uint32_t swap = items[0];
    items[0] = items[end];
    items[end] = swap;
    siftDown(items, 0, end, less, context);
  }
}

namespace {

bool noMemoryForNames(Note* fault, uint32_t count) {
  fault->add("no memory for ").addDecimal(count).add(" names");
  return false;
}

// Names that start at the same byte are one name; names that start at
// different bytes must not share any. Sets `group[i]` to the number of name
// i's place, and leaves in `order` one name of each place, by place; returns
// the number of places in `*places`.
bool groupPlaces(const NameRef* names, uint32_t count, uint32_t* order, uint32_t* group, uint32_t* places,
                 Note* fault) {
  for (uint32_t i = 0; i < count; ++i) order[i] = i;
  sortItems(order, count, byPlace, names);
  uint32_t n = 0;
  for (uint32_t k = 0; k < count; ++k) {
    const NameRef& name = names[order[k]];
    if (n > 0) {
      const NameRef& last = names[order[n - 1]];
      if (place(name) == place(last)) {
        group[order[k]] = n - 1;
        continue;
      }
      if (place(name) <= place(last) + last.length) {
        fault->add(name.what).add(" at address ").addHex(name.address).add(" shares its bytes with the ");
        fault->add(last.what).add(" at address ").addHex(last.address);
        return false;
      }
    }
    group[order[k]] = n;
    order[n++] = order[k];
  }
  *places = n;
  return true;
}

}  // namespace

bool internNames(NameRef* names, uint32_t count, uint32_t* distinct, Note* fault) {
  *distinct = 0;
  if (count == 0) return true;
  Block<uint32_t> order;
  Block<uint32_t> group;
  if (!order.allocate(count) || !group.allocate(count)) return noMemoryForNames(fault, count);
  uint32_t places = 0;
  if (!groupPlaces(names, count, order.get(), group.get(), &places, fault)) return false;

  // Equal names at different places: each place gets the number of the first
  // place, in text order, that holds the same bytes. Their bytes are apart,
  // so that comparing them costs no more than the bytes read.
  sortItems(order.get(), places, byText, names);
  Block<uint32_t> textOf;
  if (!textOf.allocate(places)) return noMemoryForNames(fault, count);
  // order[k] is now a name; its place number is group[order[k]].
  uint32_t texts = 0;
  for (uint32_t k = 0; k < places; ++k) {
    if (k == 0 || !sameText(names[order[k]], names[order[k - 1]])) ++texts;
    textOf[group[order[k]]] = texts - 1;
  }
  // Ids in the order of first appearance.
  const uint32_t kNone = UINT32_MAX;
  for (uint32_t t = 0; t < texts; ++t) order[t] = kNone;
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t text = textOf[group[i]];
    if (order[text] == kNone) order[text] = (*distinct)++;
    names[i].id = order[text];
  }
  return true;
}

bool outsideData(Note* fault, const char* what, uint64_t address) {
  fault->add(what).add(" at address ").addHex(address).add(" lies outside the file's data");
  return false;
}

bool readNameAt(MappedImage* image, uint64_t address, const char* what, NameRef* name, Note* fault) {
  const Bytes text = mappedBytes(image, address);
  const char* s = stringAt(text, 0);
  if (s == nullptr) {
    if (text.size == 0) return outsideData(fault, what, address);
    fault->add(what).add(" at address ").addHex(address).add(" runs past the end of its section");
    return false;
  }
  *name = {s, static_cast<uint32_t>(textLength(s)), static_cast<uint32_t>(address), what, 0};
  return true;
}
