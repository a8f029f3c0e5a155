/* Started by scripts/lib/wine32.sh to learn whether Wine runs 32-bit
   Windows programs here: built for i686 like the product, it only answers. */
#include <stdio.h>

int main(void) {
  puts("wine32-ok");
  return 0;
}
