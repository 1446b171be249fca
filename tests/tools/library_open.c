/* The library's open as an app's native code could call it: open uses
 * neither its JNI environment nor its class, so no JVM is needed. Prints
 * "result N" on a line of its own (after whatever the library printed),
 * then closes the port. */
#include <stdio.h>
#include <tagport/tagport_jni.h>

int main(void) {
  const int result = Java_android_kq_Ctagport_open(NULL, NULL);
  printf("\nresult %d\n", result);
  Java_android_kq_Ctagport_close(NULL, NULL);
  return 0;
}
