#include <string.h>
#include <tagport/frame_link.h>
#include <tagport/serial_port.h>
#include <tagport/tagport_jni.h>

#include "protocol/reader_exchange.h"

#ifdef TAGPORT_GENERATED_JNI_HEADER
// Generated from the Java class at build time: a native method whose name or
// signature drifts from the definitions below fails to compile.
#include TAGPORT_GENERATED_JNI_HEADER
#endif

namespace {

// The app's exchange: the full reply wait, nobody watching.
int Command(ReaderRequestId id) {
  return ReaderExchange(id, kReaderReplyPolls, nullptr);
}

}  // namespace

JNIEXPORT jint JNICALL Java_android_kq_Ctagport_open(JNIEnv*, jclass) {
  if (Api_OpenSerial(kReaderPort, kReaderRate) != 1) return -1;
  return Command(kReaderOpen);
}

JNIEXPORT jint JNICALL Java_android_kq_Ctagport_close(JNIEnv*, jclass) {
  return Api_CloseSerial() == 1 ? 0 : -1;
}

JNIEXPORT jint JNICALL Java_android_kq_Ctagport_move(JNIEnv*, jclass) {
  return Command(kReaderMove);
}

JNIEXPORT jint JNICALL Java_android_kq_Ctagport_seek(JNIEnv* env, jclass,
                                                     jbyteArray data) {
  if (data == nullptr) return -1;
  const jsize capacity = env->GetArrayLength(data);
  jbyte* elements = env->GetByteArrayElements(data, nullptr);
  if (elements == nullptr) return -1;

  int result = Command(kReaderSeek);
  if (result == 0) {
    const int count = ReaderCardCount(MsgLen);
    if (count > capacity) {
      // A shortened copy reported as success would lose card data.
      result = -1;
    } else {
      memcpy(elements, MsgBuf + kReaderCardDataOffset,
             static_cast<size_t>(count));
      result = count;
    }
  }
  // Mode 0 on every path: writes back (unchanged on failure) and frees any
  // copy the JVM made.
  env->ReleaseByteArrayElements(data, elements, 0);
  return result;
}
