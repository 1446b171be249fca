#include <string.h>

#include "jni/tagport_jni.h"
#include "link/frame_link.h"
#include "link/link_internal.h"
#include "serial/serial_internal.h"
#include "serial/serial_port.h"

#ifdef TAGPORT_GENERATED_JNI_HEADER
// Generated from the Java class at build time: a native method whose name or
// signature drifts from the definitions below fails to compile.
#include TAGPORT_GENERATED_JNI_HEADER
#endif

namespace {

const uint32_t kReaderPort = 3;
const int32_t kReaderRate = 115200;
const int kReaderTarget = 5;
const int kReplyPolls = 1000;

const int kOpenCommand = 0x40;
const int kSeekCommand = 0x41;
const int kMoveCommand = 0x50;

// A card reply: byte 7 flags the data, which starts at byte 11 and is at
// least 8 bytes long.
const int kSeekFlagOffset = 7;
const int kSeekDataOffset = 11;
const int kSeekMinFrame = 20;
const int kSeekFrameOverhead = 12;

// One exchange: 0 when a reply frame stands in MsgBuf, -1 when the request
// was not sent, -2 when no reply came.
int Exchange(int command, const unsigned char* payload, int n) {
  ClearPacket();
  // Bytes already waiting cannot answer a request not yet sent: they are a
  // late reply to an earlier one, which would otherwise be judged as this
  // request's reply (the frames carry no sequence number).
  DiscardPendingInput();
  if (SentPacket(kReaderTarget, command, payload, n) <= 0) return -1;
  return WaitForReply(kReplyPolls) ? 0 : -2;
}

bool ReplyAccepted(int command) {
  return MsgBuf[kStatusOffset] == 1 && MsgBuf[kCommandOffset] == command &&
         MsgBuf[kTargetOffset] == kReaderTarget;
}

int Command(int command, unsigned char argument) {
  const int result = Exchange(command, &argument, 1);
  if (result != 0) return result;
  return ReplyAccepted(command) ? 0 : -1;
}

}  // namespace

JNIEXPORT jint JNICALL Java_android_kq_Ctagport_open(JNIEnv*, jclass) {
  if (Api_OpenSerial(kReaderPort, kReaderRate) != 1) return -1;
  return Command(kOpenCommand, 0x01);
}

JNIEXPORT jint JNICALL Java_android_kq_Ctagport_close(JNIEnv*, jclass) {
  return Api_CloseSerial() == 1 ? 0 : -1;
}

JNIEXPORT jint JNICALL Java_android_kq_Ctagport_move(JNIEnv*, jclass) {
  return Command(kMoveCommand, 0x00);
}

JNIEXPORT jint JNICALL Java_android_kq_Ctagport_seek(JNIEnv* env, jclass,
                                                     jbyteArray data) {
  if (data == nullptr) return -1;
  const jsize capacity = env->GetArrayLength(data);
  jbyte* elements = env->GetByteArrayElements(data, nullptr);
  if (elements == nullptr) return -1;

  static const unsigned char kSeekPayload[] = {0x04, 0x00, 0x00};
  int result = Exchange(kSeekCommand, kSeekPayload, sizeof kSeekPayload);
  if (result == 0) {
    if (!ReplyAccepted(kSeekCommand) || MsgBuf[kSeekFlagOffset] != 1 ||
        MsgLen < kSeekMinFrame) {  // NOLINT(bugprone-branch-clone)
      // Not a card reply; the branch below is a card reply that won't fit.
      result = -1;
    } else if (MsgLen - kSeekFrameOverhead > capacity) {
      // A shortened copy reported as success would lose card data.
      result = -1;
    } else {
      result = MsgLen - kSeekFrameOverhead;
      memcpy(elements, MsgBuf + kSeekDataOffset, static_cast<size_t>(result));
    }
  }
  // Mode 0 on every path: writes back (unchanged on failure) and frees any
  // copy the JVM made.
  env->ReleaseByteArrayElements(data, elements, 0);
  return result;
}
