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

// Where the run of items in order that starts at `start` ends.
uint32_t runEnd(const uint32_t* items, uint32_t start, uint32_t count, ItemLess less, const void* context) {
  uint32_t end = start + 1;
  while (end < count && !less(context, items[end], items[end - 1])) ++end;
  return end;
}

// Sorts `items` by `less` in passes that each merge neighbouring runs of
// items already in order: one pass when they are sorted, one merge for two
// runs (names laid out in two stretches), O(n log n) at worst. A pass
// compares two items only to advance one of them, so that sorting names
// that are apart costs no more than their bytes in each pass. `scratch`
// holds `count` items.
void mergeSort(uint32_t* items, uint32_t* scratch, uint32_t count, ItemLess less, const void* context) {
  if (count == 0 || runEnd(items, 0, count, less, context) == count) return;
  // Stretches in reverse order (names laid out backwards) are turned around
  // first, so that they too cost one pass.
  for (uint32_t start = 0; start < count;) {
    uint32_t end = start + 1;
    while (end < count && less(context, items[end], items[end - 1])) ++end;
    for (uint32_t low = start, high = end - 1; low < high; ++low, --high) {
      const uint32_t swap = items[low];
      items[low] = items[high];
      items[high] = swap;
    }
    start = end;
  }
  uint32_t* from = items;
  uint32_t* to = scratch;
  while (runEnd(from, 0, count, less, context) < count) {
    for (uint32_t start = 0; start < count;) {
      const uint32_t middle = runEnd(from, start, count, less, context);
      const uint32_t end = middle < count ? runEnd(from, middle, count, less, context) : count;
      uint32_t a = start;
      uint32_t b = middle;
      uint32_t k = start;
      while (a < middle && b < end) to[k++] = less(context, from[b], from[a]) ? from[b++] : from[a++];
      while (a < middle) to[k++] = from[a++];
      while (b < end) to[k++] = from[b++];
      start = end;
    }
    uint32_t* swap = from;
    from = to;
    to = swap;
  }
  if (from != items) copyBytes(items, from, sizeof(uint32_t) * static_cast<size_t>(count));
}

uintptr_t place(const NameRef& name) { return reinterpret_cast<uintptr_t>(name.text); }

// Name `i` of `list`, read again: the first pass has read it whole.
NameRef nameOf(const NameList& list, uint32_t i) {
  NameRef name = {nullptr, 0, 0, nullptr};
  Note unused;
  list.read(list.context, i, &name, &unused);
  return name;
}

const char* textOf(const NameList& list, uint32_t i) { return list.text(list.context, i); }

// Orders by where the names stand in memory, then by their position.
bool byPlace(const void* context, uint32_t a, uint32_t b) {
  const NameList& list = *static_cast<const NameList*>(context);
  const uintptr_t placeA = reinterpret_cast<uintptr_t>(textOf(list, a));
  const uintptr_t placeB = reinterpret_cast<uintptr_t>(textOf(list, b));
  return placeA != placeB ? placeA < placeB : a < b;
}

// Orders by the names' bytes, then by their position.
bool byText(const void* context, uint32_t a, uint32_t b) {
  const NameList& list = *static_cast<const NameList*>(context);
  const char* textA = textOf(list, a);
  const char* textB = textOf(list, b);
  const int order = textA == textB ? 0 : compareText(textA, textB);
  return order != 0 ? order < 0 : a < b;
}

// Whether `next`, which starts at or after `last`, starts inside it (its NUL
// included) without starting at the same byte.
bool startsInside(const NameRef& last, const NameRef& next) {
  return place(next) != place(last) && place(next) <= place(last) + last.length;
}

bool sharesBytes(Note* fault, const NameRef& name, const NameRef& last) {
  fault->add(name.what).add(" at address ").addHex(name.address).add(" shares its bytes with the ");
  fault->add(last.what).add(" at address ").addHex(last.address);
  return false;
}

bool noMemoryForNames(Note* fault, uint32_t count) {
  fault->add("no memory for ").addDecimal(count).add(" names");
  return false;
}

// A stretch of names laid out in the list's order: where it starts, where
// its last name ends (at its NUL), and its first name that starts inside
// the one before it.
struct Run {
  uintptr_t low;
  uintptr_t high;
  bool clash;
  NameRef name;
  NameRef last;  // the first name read at the place that `name` starts inside
};

// What the first pass over a list finds.
struct Scan {
  uint32_t runs;  // stretches laid out in order
  Run run[2];     // the first two
  uint32_t present;
  bool textsInOrder;  // the first `texts` names, laid out in order and sorted by their bytes
  bool laidOut;       // one stretch, or two apart: the names of each place stand next to each other
};

// Gives name `i` its id in the first pass, where the names come sorted: equal
// names stand next to each other. `*last` is the id of the name before it.
bool numberInOrder(NameIds* out, uint32_t i, uint32_t texts, bool same, uint32_t* last, Note* fault) {
  if (!same) {
    *last = out->distinct++;
  } else if (out->ids.get() == nullptr) {
    // The first name equal to the one before it: every name before it was a
    // first appearance.
    if (!out->ids.allocate(texts)) return noMemoryForNames(fault, texts);
    for (uint32_t k = 0; k < i; ++k) out->ids[k] = k;
  }
  if (out->ids.get() != nullptr) out->ids[i] = *last;
  return true;
}

// Reads every name of `list` once, in its order: notes the stretches laid
// out in order and the first clash in each, and numbers the first `texts`
// names when they come laid out in order and sorted.
bool readAll(const NameList& list, uint32_t texts, Scan* scan, NameIds* out, Note* fault) {
  NameRef group = {nullptr, 0, 0, nullptr};  // the first name read at the place of the name read last
  const char* text = nullptr;                // the text of the last of the first `texts` names
  uint32_t lastId = 0;
  for (uint32_t i = 0; i < list.count; ++i) {
    NameRef name;
    if (!list.read(list.context, i, &name, fault)) return false;
    if (name.text == nullptr) continue;
    ++scan->present;
    if (group.text == nullptr || place(name) < place(group)) {
      if (scan->runs < 2) scan->run[scan->runs] = {place(name), 0, false, name, name};
      ++scan->runs;
      group = name;
    } else if (place(name) != place(group)) {
      if (scan->runs <= 2 && !scan->run[scan->runs - 1].clash && startsInside(group, name))
        scan->run[scan->runs - 1] = {scan->run[scan->runs - 1].low, 0, true, name, group};
      group = name;
    }
    if (scan->runs <= 2) scan->run[scan->runs - 1].high = place(group) + group.length;
    if (i >= texts || !scan->textsInOrder) continue;
    // Only names laid out in order and apart are compared: each name's bytes
    // are compared with its neighbours' alone.
    scan->textsInOrder = scan->runs == 1 && !scan->run[0].clash;
    const int order = !scan->textsInOrder || text == nullptr ? -1
                      : text == name.text                    ? 0
                                                             : compareText(text, name.text);
    scan->textsInOrder = scan->textsInOrder && order <= 0;
    if (scan->textsInOrder && !numberInOrder(out, i, texts, order == 0, &lastId, fault)) return false;
    text = name.text;
  }
  return true;
}

// The present names of the first `count` of `list`, by place; false when
// memory is short.
bool placeOrder(const NameList& list, uint32_t count, Block<uint32_t>* order, Block<uint32_t>* scratch,
                uint32_t* used) {
  if (!order->allocate(count) || !scratch->allocate(count)) return false;
  *used = 0;
  for (uint32_t i = 0; i < count; ++i)
    if (textOf(list, i) != nullptr) (*order)[(*used)++] = i;
  mergeSort(order->get(), scratch->get(), *used, byPlace, &list);
  return true;
}

// Names that start at the same byte are one name; names that start at
// different bytes must not share any. Checks the stretches that the first
// pass found, or, when they are more than two or interleave, every name in
// the order of their places, which it leaves in `order`.
bool namesApart(const NameList& list, Scan* scan, Block<uint32_t>* order, uint32_t* used, Note* fault) {
  if (scan->runs <= 2) {
    const Run& a = scan->run[0];
    const Run& b = scan->run[1];
    scan->laidOut = scan->runs < 2 || a.high < b.low || b.high < a.low;
    if (scan->laidOut) {
      const Run& first = scan->runs < 2 || a.low < b.low ? a : b;
      const Run& second = &first == &a ? b : a;
      if (first.clash) return sharesBytes(fault, first.name, first.last);
      if (scan->runs == 2 && second.clash) return sharesBytes(fault, second.name, second.last);
      return true;
    }
  }
  Block<uint32_t> scratch;
  if (!placeOrder(list, list.count, order, &scratch, used)) return noMemoryForNames(fault, scan->present);
  NameRef last = nameOf(list, (*order)[0]);
  for (uint32_t k = 1; k < *used; ++k) {
    if (textOf(list, (*order)[k]) == last.text) continue;
    const NameRef name = nameOf(list, (*order)[k]);
    if (startsInside(last, name)) return sharesBytes(fault, name, last);
    last = name;
  }
  return true;
}

// How many slots of the table a name may look at before the names are
// taken for ones chosen to collide, and sorted instead.
const uint32_t kMaxProbes = 64;

// Numbers the first `texts` names of `list`, laid out apart (the names of a
// place next to each other), in their order through a table of their texts:
// each place's text is hashed once, and compared only with the names in the
// slots it looks at. False, with nothing said, when a name looks at more
// than kMaxProbes slots or memory is short: they are sorted then.
bool numberByHashing(const NameList& list, uint32_t texts, NameIds* out) {
  uint64_t size = 16;
  while (size < 2 * static_cast<uint64_t>(texts)) size *= 2;
  Block<uint32_t> slots;  // a name's position plus one, or 0
  if (!out->ids.allocate(texts) || !slots.allocate(size)) return false;
  const size_t mask = slots.count() - 1;
  for (size_t k = 0; k <= mask; ++k) slots[k] = 0;
  out->distinct = 0;
  const char* previous = nullptr;
  uint32_t id = 0;
  for (uint32_t i = 0; i < texts; ++i) {
    const char* text = textOf(list, i);
    uint32_t probes = 0;
    for (size_t at = nameHash(text) & mask; text != previous; at = (at + 1) & mask) {
      if (++probes > kMaxProbes) return false;
      if (slots[at] == 0) {
        slots[at] = i + 1;
        id = out->distinct++;
      } else if (compareText(textOf(list, slots[at] - 1), text) == 0) {
        id = out->ids[slots[at] - 1];
      } else {
        continue;
      }
      previous = text;
    }
    out->ids[i] = id;
  }
  return true;
}

// Numbers the first `texts` names of `list`, which are apart: the names of
// each place once, sorted by their bytes. `placed` holds the `used` names of
// the list by place, when namesApart sorted them.
bool numberBySorting(const NameList& list, uint32_t texts, Block<uint32_t>* placed, uint32_t used, NameIds* out,
                     Note* fault) {
  Block<uint32_t> order;
  Block<uint32_t> scratch;
  order.swap(*placed);
  if (order.get() != nullptr) {
    uint32_t kept = 0;
    for (uint32_t k = 0; k < used; ++k)
      if (order[k] < texts) order[kept++] = order[k];
    used = kept;
  }
  if (!out->ids.allocate(texts) || (order.get() != nullptr ? !scratch.allocate(texts)
                                                            : !placeOrder(list, texts, &order, &scratch, &used)))
    return noMemoryForNames(fault, texts);
  // ids[i] is first the number of name i's place; order keeps one name of
  // each place, by place.
  uint32_t places = 0;
  for (uint32_t k = 0; k < used; ++k) {
    const uint32_t i = order[k];
    if (places > 0 && textOf(list, i) == textOf(list, order[places - 1])) {
      out->ids[i] = places - 1;
      continue;
    }
    out->ids[i] = places;
    order[places++] = i;
  }
  // Equal names at different places: each place gets the number of its text
  // in text order. Their bytes are apart, so that comparing them costs no
  // more than the bytes read.
  mergeSort(order.get(), scratch.get(), places, byText, &list);
  uint32_t* textNumber = scratch.get();
  uint32_t textCount = 0;
  for (uint32_t k = 0; k < places; ++k) {
    if (k == 0 || compareText(textOf(list, order[k]), textOf(list, order[k - 1])) != 0) ++textCount;
    textNumber[out->ids[order[k]]] = textCount - 1;
  }
  // Ids in the order of first appearance.
  const uint32_t kNone = UINT32_MAX;
  for (uint32_t t = 0; t < textCount; ++t) order[t] = kNone;
  out->distinct = 0;
  for (uint32_t i = 0; i < texts; ++i) {
    const uint32_t t = textNumber[out->ids[i]];
    if (order[t] == kNone) order[t] = out->distinct++;
    out->ids[i] = order[t];
  }
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

// FNV-1a over a name's bytes, its high half folded into the low one, which
// picks the slot.
uint32_t nameHash(const char* text) {
  uint32_t hash = 2166136261u;
  for (; *text != '\0'; ++text) hash = (hash ^ static_cast<uint8_t>(*text)) * 16777619u;
  return hash ^ (hash >> 16);
}

bool internNames(const NameList& list, uint32_t texts, NameIds* out, Note* fault) {
  out->ids = Block<uint32_t>();
  out->distinct = 0;
  out->inTextOrder = false;
  Scan scan = Scan();
  scan.textsInOrder = true;
  Block<uint32_t> placed;
  uint32_t used = 0;
  if (!readAll(list, texts, &scan, out, fault) || !namesApart(list, &scan, &placed, &used, fault)) return false;
  out->inTextOrder = scan.textsInOrder;
  return scan.textsInOrder || (scan.laidOut && numberByHashing(list, texts, out)) ||
         numberBySorting(list, texts, &placed, used, out, fault);
}

bool outsideData(Note* fault, const char* what, uint64_t address) {
  fault->add(what).add(" at address ").addHex(address).add(" lies outside the file's data");
  return false;
}

namespace {

bool inHeaders(const MappedImage& image, Bytes bytes) {
  const uintptr_t at = reinterpret_cast<uintptr_t>(bytes.data);
  const uintptr_t headers = reinterpret_cast<uintptr_t>(image.headers.data);
  return bytes.data != nullptr && headers != 0 && at >= headers && at - headers < image.headers.size;
}

// The bytes at `address`, through the bytes mapped last when they hold it.
Bytes readerBytes(NameReader* reader, uint64_t address) {
  if (address < reader->start || !inBounds(reader->bytes, address - reader->start, 1)) {
    const Bytes bytes = mappedBytes(reader->image, address);
    // Only a section's bytes are read through again, below the last address
    // (which no section holds): no other section's addresses lie among them,
    // as they may among the headers'.
    reader->start = address;
    reader->bytes = inHeaders(*reader->image, bytes) ? Bytes{nullptr, 0} : bytes;
    if (reader->bytes.size > 0 && address + reader->bytes.size > UINT32_MAX)
      reader->bytes.size = static_cast<uint32_t>(UINT32_MAX - address);
    return bytes;
  }
  const uint32_t offset = static_cast<uint32_t>(address - reader->start);
  return {reader->bytes.data + offset, reader->bytes.size - offset};
}

// The length of the NUL-terminated string at the start of `bytes`; false
// when no NUL ends it there.
bool terminated(Bytes bytes, uint32_t* length) {
  if (!inBounds(bytes, 0, 1)) return false;
  for (uint32_t i = 0; i < bytes.size; ++i) {
    if (bytes.data[i] == 0) {
      *length = i;
      return true;
    }
  }
  return false;
}

}  // namespace

NameReader nameReader(MappedImage* image) { return {image, 0, {nullptr, 0}, {nullptr, 0, 0, nullptr}}; }

bool readName(NameReader* reader, uint64_t address, const char* what, NameRef* name, Note* fault) {
  if (reader->last.text != nullptr && address == reader->last.address) {
    *name = {reader->last.text, reader->last.length, reader->last.address, what};
    return true;
  }
  const Bytes text = readerBytes(reader, address);
  uint32_t length = 0;
  if (!terminated(text, &length)) {
    if (text.size == 0) return outsideData(fault, what, address);
    fault->add(what).add(" at address ").addHex(address).add(" runs past the end of its section");
    return false;
  }
  *name = {reinterpret_cast<const char*>(text.data), length, static_cast<uint32_t>(address), what};
  reader->last = *name;
  return true;
}

bool readNameAt(MappedImage* image, uint64_t address, const char* what, NameRef* name, Note* fault) {
  NameReader reader = nameReader(image);
  return readName(&reader, address, what, name, fault);
}

const char* nameText(NameReader* reader, uint64_t address) {
  return reinterpret_cast<const char*>(readerBytes(reader, address).data);
}
