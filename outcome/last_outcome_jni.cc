// libtagport_outcome.so: why TagReader's last call of Ctagport failed.
//
// Ctagport's methods answer -1 for every failure alike. Right after such a
// call, under TagReader's lock, the link state that libtagport.so exports for
// native callers still tells which one it was: the reply frame in MsgBuf (or
// none), the request in SentBuf, the port in FD_COM. This library reads that
// state and judges the reply by the rules of <tagport/reader.h>, as a native
// caller of libtagport would; it uses nothing of the library but its public
// headers and exports, so libtagport.so keeps its surface as it is.
//
// Neither function calls back into the JVM: the verdict goes back as one
// number, so there is no lookup to check and no call that could leave an
// exception pending.
#include <jni.h>
#include <tagport/frame_link.h>
#include <tagport/reader.h>
#include <tagport/serial_port.h>

#ifdef TAGPORT_GENERATED_JNI_HEADER
// Generated from the Java class at build time: a native method whose name or
// signature drifts from the definitions below fails to compile.
#include TAGPORT_GENERATED_JNI_HEADER
#endif

namespace {

// What Judge finds, in the low byte of its result. android.kq.LastOutcome
// reads the same codes.
enum Verdict {
  kAccepted = 0,       // the frame meets every rule: the call did not fail here
  kNoCard = 1,         // a seek reply saying no card is at the reader
  kFailureStatus = 2,  // refused: status byte not 1
  kOtherCommand = 3,   // refused: a reply to another command
  kOtherTarget = 4,    // refused: a reply from another target
  kCardFlag = 5,       // refused: byte 7 of a seek reply neither 1 nor 0
  kShortData = 6,      // refused: a seek reply with under 8 bytes of data
  kNotSent = 7,        // no frame, the port open: nothing was answered
  kNoPort = 8,         // no frame and no port open
};

// The reply's status, command and target bytes go up with the verdict, one
// byte each: bits 8-15, 16-23 and 24-31.
jlong WithReplyBytes(Verdict verdict) {
  return static_cast<jlong>(verdict) |
         static_cast<jlong>(MsgBuf[TAGPORT_FRAME_STATUS_OFFSET]) << 8 |
         static_cast<jlong>(MsgBuf[TAGPORT_FRAME_COMMAND_OFFSET]) << 16 |
         static_cast<jlong>(MsgBuf[TAGPORT_FRAME_TARGET_OFFSET]) << 24;
}

// The rule of <tagport/reader.h> that the frame in MsgBuf breaks as the reply
// to the request in SentBuf, as a verdict. The reply wait stops at the byte
// that completes a frame, so MsgLen is the frame's length.
Verdict JudgeFrame() {
  const int command = SentBuf[TAGPORT_FRAME_COMMAND_OFFSET];
  switch (TagportReaderCheckReply(command, MsgBuf, MsgLen)) {
    case TAGPORT_REPLY_ACCEPTED:
      return kAccepted;
    case TAGPORT_REPLY_BAD_STATUS:
      return kFailureStatus;
    case TAGPORT_REPLY_BAD_COMMAND:
      return kOtherCommand;
    case TAGPORT_REPLY_BAD_TARGET:
      return kOtherTarget;
    case TAGPORT_REPLY_NO_CARD_FLAG:
      // An 8-byte frame has no byte 7 of its own (that is its checksum):
      // it carries neither a card flag nor data.
      if (MsgLen <= TAGPORT_REPLY_CARD_FLAG_OFFSET + 1) return kShortData;
      return MsgBuf[TAGPORT_REPLY_CARD_FLAG_OFFSET] ==
                     TAGPORT_REPLY_CARD_FLAG_NONE
                 ? kNoCard
                 : kCardFlag;
    case TAGPORT_REPLY_TOO_SHORT:
      return kShortData;
  }
  return kAccepted;
}

}  // namespace

// C names, bound by the JVM: a build without the generated header (Android,
// Java off) has no declaration to give them C linkage.
extern "C" {

// Empties the decoder before a call that may fail before its exchange
// begins (open, when the line cannot be configured): a frame found after
// the call is then that call's reply, never the one before it.
JNIEXPORT void JNICALL Java_android_kq_LastOutcome_forget(JNIEnv*, jclass) {
  ClearPacket();
}

// The verdict on the call just made, with the reply's bytes when a frame
// came.
JNIEXPORT jlong JNICALL Java_android_kq_LastOutcome_judge(JNIEnv*, jclass) {
  // A port that did not open (or was closed) fails before any exchange.
  if (FD_COM == -1) return kNoPort;
  // Every exchange empties the decoder first, and a reply wait that runs
  // out sets both counters to 0: a whole frame stands in MsgBuf only when
  // this call's reply came.
  const bool frame = PacketLen >= TAGPORT_FRAME_OVERHEAD && MsgLen == PacketLen;
  if (!frame) return kNotSent;
  return WithReplyBytes(JudgeFrame());
}

}  // extern "C"
