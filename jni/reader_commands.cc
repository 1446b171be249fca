#include <string.h>
#include <tagport/frame_link.h>
#include <tagport/serial_port.h>
#include <tagport/tagport_jni.h>

#include "link/link_internal.h"
#include "protocol/reader_protocol.h"
#include "serial/serial_internal.h"

#ifdef TAGPORT_GENERATED_JNI_HEADER
// Generated from the Java class at build time: a native method whose name or
// signature drifts from the definitions below fails to compile.
#include TAGPORT_GENERATED_JNI_HEADER
#endif

namespace {

// One exchange: 0 when the reply frame in MsgBuf meets the request's rules,
// -1 when the request was not sent or the reply breaks a rule, -2 when no
// reply came.
int Command(ReaderRequestId id) {
  const ReaderRequest* request = ReaderRequestFor(id);
  ClearPacket();
  // Bytes already waiting cannot answer a request not yet sent: they are a
  // late reply to an earlier one, which would otherwise be judged as this
  // request's reply (the frames carry no sequence number).
  DiscardPendingInput();
  if (SentPacket(kReaderTarget, request->command, request->payload,
                 request->payload_length) <= 0) {
    return -1;
  }
  if (!WaitForReply(kReaderReplyPolls)) return -2;
  return ReaderCheckReply(id, MsgBuf, MsgLen) == kReaderReplyAccepted ? 0 : -1;
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
  // An array that cannot hold the smallest card would only be refused after
  // a whole exchange, up to a second later: nothing is sent for it.
  if (data == nullptr) return -1;
  const jsize capacity = env->GetArrayLength(data);
  if (capacity < ReaderCardCount(kReaderSeekMinLength)) return -1;
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
