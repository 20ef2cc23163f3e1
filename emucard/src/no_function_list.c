/* A module file named like the card's module that lacks C_GetFunctionList:
 * it loads, but the card library finds no entry point in it. It links no
 * library that could lend it one. */
__attribute__((visibility("default"))) unsigned long C_Initialize(void* args) {
  (void)args;
  return 0;
}
