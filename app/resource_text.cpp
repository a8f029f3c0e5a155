#include "app/resource_text.h"

#include <windows.h>

#include "app/app_state.h"

TextCacheSlot TextCache = {-1, {0}};

const char *GetResourceText(int id) {
  if (id == TextCache.lastId) return TextCache.text;
  // A missing entry leaves an empty text and still counts as the cached id.
  if (LoadStringA(AppInstance, id, TextCache.text, TEXT_CACHE_SIZE) == 0) TextCache.text[0] = '\0';
  TextCache.lastId = id;
  return TextCache.text;
}
