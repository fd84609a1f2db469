/* A host program as a user of the installed library writes it: it includes
 * the installed header, links the installed library and prints the version
 * triple the library reports. */
#include <stdio.h>

#include <KestrelLib.h>

int main(void) {
  int32_t version[3] = {0, 0, 0};
  if (vxclk_APIVersion(version) != version) return 1;

  /* An instance that was never connected refuses board calls with status 2. */
  void* instance = vxclk_createInstance();
  if (instance == NULL) return 1;
  int32_t boardId = 0;
  const int32_t status = vxclk_getBoardID(instance, &boardId);
  vxclk_destroyInstance(instance);
  if (status != VXCLK_NOT_CONNECTED) {
    fprintf(stderr, "vxclk_getBoardID on an unconnected instance gave %d\n", (int)status);
    return 1;
  }

  printf("%d.%d.%d\n", (int)version[0], (int)version[1], (int)version[2]);
  return 0;
}
