// Native half of tagport.jvmtest.LibraryProbes: what the JVM tests need to
// look at libtagport from inside a native call. The node redirect's counts of
// the library's reads and sleeps, and direct calls of the library's string
// conversions as a native caller makes them.
#include <errno.h>
#include <jni.h>
#include <stdint.h>
#include <sys/ioctl.h>
#include <tagport/frame_link.h>
#include <tagport/reader.h>
#include <tagport/serial_port.h>
#include <tagport/tagport_jni.h>

#include <memory>
#include <vector>

#include "tools/redirect/node_redirect.h"

namespace {

// What the conversion loops return when a routine left a local frame behind.
const jint kFrameLeft = -2;

// What ConvertWithPendingException found.
const jint kExceptionKept = 0;
const jint kResultGiven = 1;
const jint kExceptionLost = 2;
const jint kExceptionReplaced = 3;
const jint kSetupFailed = 4;

// What the library itself returned in the last Encode or Decode: the count,
// or 1 for a string and 0 for null.
int last_result = 0;

// A copy of a Java byte array's bytes, empty when an exception is pending.
std::vector<char> ToChars(JNIEnv* env, jbyteArray array) {
  std::vector<char> chars(static_cast<size_t>(env->GetArrayLength(array)));
  env->GetByteArrayRegion(array, 0, static_cast<jsize>(chars.size()),
                          reinterpret_cast<jbyte*>(chars.data()));
  if (env->ExceptionCheck()) chars.clear();
  return chars;
}

// A Java string as the modified UTF-8 the JNI hands out; for charset names,
// which are plain ASCII.
class Utf {
 public:
  Utf(JNIEnv* env, jstring text)
      : env_(env),
        text_(text),
        chars_(text ? env->GetStringUTFChars(text, nullptr) : nullptr) {}
  ~Utf() {
    if (chars_) env_->ReleaseStringUTFChars(text_, chars_);
  }
  Utf(const Utf&) = delete;
  Utf& operator=(const Utf&) = delete;
  const char* get() const { return chars_; }

 private:
  JNIEnv* env_;
  jstring text_;
  const char* chars_;
};

// A zero-terminated copy of a Java byte array; null for a null array.
std::unique_ptr<std::vector<char>> ToCString(JNIEnv* env, jbyteArray array) {
  if (array == nullptr) return nullptr;
  auto text = std::make_unique<std::vector<char>>(ToChars(env, array));
  text->push_back('\0');
  return text;
}

// Tells whether the calls between Arm and Disarm leave the stack of local
// frames as they found it. CheckJNI notices references that pile up in one
// frame, but not frames pushed and never popped. Arm pushes a frame of ours
// holding a fresh object; Disarm pops the frame on top. When a call left a
// frame of its own, that one goes instead, ours stays, and the object
// survives a collection.
class FrameProbe {
 public:
  explicit FrameProbe(JNIEnv* env) : env_(env) {}
  ~FrameProbe() {
    if (weak_ != nullptr) env_->DeleteWeakGlobalRef(weak_);
  }
  FrameProbe(const FrameProbe&) = delete;
  FrameProbe& operator=(const FrameProbe&) = delete;

  bool Arm() {
    if (env_->PushLocalFrame(kFrameRoom) != 0) return false;
    jobject probe = env_->NewByteArray(1);
    weak_ = probe != nullptr ? env_->NewWeakGlobalRef(probe) : nullptr;
    return weak_ != nullptr;
  }
  void Disarm() { env_->PopLocalFrame(nullptr); }

  // Collects until the object is gone, a few times at most.
  bool Balanced() {
    jclass system = env_->FindClass("java/lang/System");
    if (system == nullptr) return false;
    jmethodID gc = env_->GetStaticMethodID(system, "gc", "()V");
    if (gc == nullptr) return false;
    for (int attempt = 0; attempt < kCollections; ++attempt) {
      env_->CallStaticVoidMethod(system, gc);
      if (env_->ExceptionCheck()) return false;
      if (env_->IsSameObject(weak_, nullptr)) return true;
    }
    return false;
  }

 private:
  static const jint kFrameRoom = 4;
  static const int kCollections = 10;
  JNIEnv* env_;
  jweak weak_ = nullptr;
};

// What Ctagport.seek's native code did with the array's elements, as seen
// through a JNI function table that passes each call on to the JVM.
struct ElementsWatch {
  JNIEnv* env = nullptr;  // the JVM's own
  jbyte* elements = nullptr;
  jint gets = 0;
  jint releases = 0;
  jint last_mode = -1;
  jint releases_of_what_was_got = 0;
};
ElementsWatch watch;

jsize JNICALL WatchedGetArrayLength(JNIEnv*, jarray array) {
  return watch.env->GetArrayLength(array);
}

jbyte* JNICALL WatchedGetByteArrayElements(JNIEnv*, jbyteArray array,
                                           jboolean* is_copy) {
  ++watch.gets;
  watch.elements = watch.env->GetByteArrayElements(array, is_copy);
  return watch.elements;
}

void JNICALL WatchedReleaseByteArrayElements(JNIEnv*, jbyteArray array,
                                             jbyte* elements, jint mode) {
  ++watch.releases;
  watch.last_mode = mode;
  if (elements == watch.elements) ++watch.releases_of_what_was_got;
  watch.env->ReleaseByteArrayElements(array, elements, mode);
}

}  // namespace

extern "C" {

JNIEXPORT jlong JNICALL
Java_tagport_jvmtest_LibraryProbes_librarySleeps(JNIEnv*, jclass) {
  return tagport_redirect_sleep_calls();
}

JNIEXPORT jlong JNICALL
Java_tagport_jvmtest_LibraryProbes_libraryReads(JNIEnv*, jclass) {
  return tagport_redirect_read_calls();
}

JNIEXPORT void JNICALL
Java_tagport_jvmtest_LibraryProbes_resetLibraryCounts(JNIEnv*, jclass) {
  tagport_redirect_reset();
}

JNIEXPORT void JNICALL
Java_tagport_jvmtest_LibraryProbes_failNextLineSettings(JNIEnv*, jclass) {
  tagport_redirect_fail_next(TAGPORT_REDIRECT_TCSETATTR, EIO);
}

JNIEXPORT jint JNICALL
Java_tagport_jvmtest_LibraryProbes_portInputWaiting(JNIEnv*, jclass) {
  int waiting = 0;
  if (FD_COM < 0 || ioctl(FD_COM, FIONREAD, &waiting) != 0) return -1;
  return waiting;
}

// `out` is handed to the library as it is (contents included, so bytes the
// library must not touch keep the caller's sentinel) and copied back. The
// charset name comes as raw bytes, so that names which are no valid modified
// UTF-8 reach the library too; `text` may be any object, as a native caller
// may hand over anything as a jstring.
JNIEXPORT jint JNICALL Java_tagport_jvmtest_LibraryProbes_encodeRaw(
    JNIEnv* env, jclass, jobject text, jbyteArray charset, jbyteArray out) {
  const std::unique_ptr<std::vector<char>> charset_name =
      ToCString(env, charset);
  std::unique_ptr<std::vector<char>> buffer;
  if (out != nullptr) {
    buffer = std::make_unique<std::vector<char>>(ToChars(env, out));
  }
  last_result = jstring2pchar(env, static_cast<jstring>(text),
                              charset_name ? charset_name->data() : nullptr,
                              buffer ? buffer->data() : nullptr);
  // A pending exception goes to Java as it stands: no JNI call may follow.
  if (env->ExceptionCheck()) return last_result;
  if (buffer) {
    env->SetByteArrayRegion(out, 0, static_cast<jsize>(buffer->size()),
                            reinterpret_cast<const jbyte*>(buffer->data()));
  }
  return last_result;
}

JNIEXPORT jstring JNICALL Java_tagport_jvmtest_LibraryProbes_decodeRaw(
    JNIEnv* env, jclass, jbyteArray text, jbyteArray charset) {
  const std::unique_ptr<std::vector<char>> charset_name =
      ToCString(env, charset);
  const std::unique_ptr<std::vector<char>> bytes = ToCString(env, text);
  jstring decoded =
      pchar2jstring(env, bytes ? bytes->data() : nullptr,
                    charset_name ? charset_name->data() : nullptr);
  last_result = decoded != nullptr ? 1 : 0;
  return decoded;
}

// Raises an exception, then calls one of the routines as a native caller in
// that state may: the routine must fail and leave that same exception
// pending. Everything this does while it is pending is allowed then.
JNIEXPORT jint JNICALL
Java_tagport_jvmtest_LibraryProbes_convertWithPendingException(JNIEnv* env,
                                                               jclass,
                                                               jboolean decode,
                                                               jstring text) {
  jclass type = env->FindClass("java/lang/IllegalStateException");
  if (type == nullptr) return kSetupFailed;
  if (env->ThrowNew(type, "raised before the call") != 0) return kSetupFailed;
  jthrowable raised = env->ExceptionOccurred();
  bool result_given = false;
  if (decode) {
    result_given = pchar2jstring(env, "abc", "UTF-8") != nullptr;
  } else {
    char out[64];
    result_given = jstring2pchar(env, text, "UTF-8", out) != 0;
  }
  jthrowable pending = env->ExceptionOccurred();
  env->ExceptionClear();
  if (result_given) return kResultGiven;
  if (pending == nullptr) return kExceptionLost;
  return env->IsSameObject(pending, raised) ? kExceptionKept
                                            : kExceptionReplaced;
}

// Runs Ctagport.seek's native code with a JNI environment that watches the
// array's elements; any JNI function but the three watched ones would reach
// the JVM with an environment not its own, which CheckJNI reports. The
// result, then the counts in LibraryProbes' SEEK_* order.
JNIEXPORT jintArray JNICALL
Java_tagport_jvmtest_LibraryProbes_seekWatchingElements(JNIEnv* env,
                                                        jclass type,
                                                        jbyteArray data) {
  watch = ElementsWatch();
  watch.env = env;
  JNINativeInterface_ functions = *env->functions;
  functions.GetArrayLength = WatchedGetArrayLength;
  functions.GetByteArrayElements = WatchedGetByteArrayElements;
  functions.ReleaseByteArrayElements = WatchedReleaseByteArrayElements;
  JNIEnv watched = {};
  watched.functions = &functions;
  const jint result = Java_android_kq_Ctagport_seek(&watched, type, data);
  const jint outcome[] = {result, watch.gets, watch.releases, watch.last_mode,
                          watch.releases_of_what_was_got};
  const jsize count = sizeof outcome / sizeof outcome[0];
  jintArray array = env->NewIntArray(count);
  if (array == nullptr) return nullptr;
  env->SetIntArrayRegion(array, 0, count, outcome);
  return array;
}

// The card data of a seek reply as long as the library's frame buffer holds,
// for the Java classes' copy of that limit.
JNIEXPORT jint JNICALL
Java_tagport_jvmtest_LibraryProbes_largestCardData(JNIEnv*, jclass) {
  return TagportReaderCardCount(TAGPORT_FRAME_CAPACITY);
}

JNIEXPORT jint JNICALL Java_tagport_jvmtest_LibraryProbes_lastResult(JNIEnv*,
                                                                     jclass) {
  return last_result;
}

// Encodes and decodes `text` `rounds` times within this one native call,
// deleting only the references this loop itself receives: any local
// reference the library kept would pile up here. The count of round trips
// that gave `text` back, -1 when a call failed, kFrameLeft when a routine
// left a local frame behind.
JNIEXPORT jint JNICALL Java_tagport_jvmtest_LibraryProbes_roundTrips(
    JNIEnv* env, jclass, jstring text, jstring charset, jint rounds) {
  const Utf charset_name(env, charset);
  jclass string_class = env->FindClass("java/lang/String");
  if (string_class == nullptr) return -1;
  jmethodID equals =
      env->GetMethodID(string_class, "equals", "(Ljava/lang/Object;)Z");
  if (equals == nullptr) return -1;
  // Four bytes a character is the most any of the tested charsets needs.
  std::vector<char> encoded(
      static_cast<size_t>(env->GetStringLength(text)) * 4 + 1);
  FrameProbe probe(env);
  if (!probe.Arm()) return -1;
  jint matches = 0;
  for (jint round = 0; round < rounds; ++round) {
    const int n = jstring2pchar(env, text, charset_name.get(), encoded.data());
    if (env->ExceptionCheck()) break;
    encoded[static_cast<size_t>(n)] = '\0';
    jstring decoded = pchar2jstring(env, encoded.data(), charset_name.get());
    if (decoded == nullptr) break;
    const bool equal = env->CallBooleanMethod(text, equals, decoded);
    if (env->ExceptionCheck()) break;
    if (equal) ++matches;
    env->DeleteLocalRef(decoded);
  }
  probe.Disarm();
  if (env->ExceptionCheck()) return -1;
  return probe.Balanced() ? matches : kFrameLeft;
}

// Converts with a charset name the runtime refuses, `rounds` times within
// this one native call, clearing the exception each time. The count of
// rounds in which both routines failed with an exception pending, or
// kFrameLeft.
JNIEXPORT jint JNICALL Java_tagport_jvmtest_LibraryProbes_rejectedRounds(
    JNIEnv* env, jclass, jstring text, jstring charset, jint rounds) {
  const Utf charset_name(env, charset);
  char out[64];
  FrameProbe probe(env);
  if (!probe.Arm()) return -1;
  jint rejected = 0;
  for (jint round = 0; round < rounds; ++round) {
    const int n = jstring2pchar(env, text, charset_name.get(), out);
    const bool encode_thrown = env->ExceptionCheck();
    env->ExceptionClear();
    jstring decoded = pchar2jstring(env, "abc", charset_name.get());
    const bool decode_thrown = env->ExceptionCheck();
    env->ExceptionClear();
    if (n == 0 && encode_thrown && decoded == nullptr && decode_thrown) {
      ++rejected;
    }
    if (decoded != nullptr) env->DeleteLocalRef(decoded);
  }
  probe.Disarm();
  return probe.Balanced() ? rejected : kFrameLeft;
}

JNIEXPORT jint JNICALL
Java_tagport_jvmtest_LibraryProbes_probeAroundLeftFrame(JNIEnv* env, jclass) {
  FrameProbe probe(env);
  if (!probe.Arm()) return -1;
  if (env->PushLocalFrame(1) != 0) return -1;
  probe.Disarm();
  return probe.Balanced() ? 0 : kFrameLeft;
}

JNIEXPORT void JNICALL
Java_tagport_jvmtest_LibraryProbes_overflowLocalReferences(JNIEnv* env, jclass,
                                                           jint count) {
  for (jint i = 0; i < count; ++i) {
    if (env->NewStringUTF("kept") == nullptr) return;
  }
}

}  // extern "C"
