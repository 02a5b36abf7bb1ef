/* A plain console program: the C run-time's start-up and one printf. */
#include <stdio.h>

int main(void) {
  printf("hello\n");
  return 0;
}
