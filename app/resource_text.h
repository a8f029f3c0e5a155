// String-table texts read through a one-slot cache.
#ifndef FLASHTOOL_APP_RESOURCE_TEXT_H
#define FLASHTOOL_APP_RESOURCE_TEXT_H

enum { TEXT_CACHE_SIZE = 255 };

struct TextCacheSlot {
  int lastId;                  // -1 until the first read
  char text[TEXT_CACHE_SIZE];
};

extern TextCacheSlot TextCache;

// The text stays valid until the next call with another id: use or copy it at once.
const char *GetResourceText(int id);

#endif
