// Native half of tagport.jvmtest.SimulatedModule: a simulated reader module
// in the JVM's own process, with "/dev/ttyMT3" led to its pseudo-terminal,
// and direct calls of the library's string conversions from inside one
// native method.
#include <jni.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "jni/tagport_jni.h"
#include "tools/common/hex.h"
#include "tools/redirect/node_redirect.h"
#include "tools/sim/simulated_reader.h"

namespace {

using tagport_tools::Bytes;

const char kRedirectVariable[] = "TAGPORT_TTYMT3";

// What the conversion loops return when a routine left a local frame behind.
const jint kFrameLeft = -2;

std::unique_ptr<tagport_sim::SimulatedReader> reader;
// What the library itself returned in the last Encode or Decode: the count,
// or 1 for a string and 0 for null.
int last_result = 0;

void Throw(JNIEnv* env, const char* class_name, const std::string& message) {
  jclass type = env->FindClass(class_name);
  if (type != nullptr) env->ThrowNew(type, message.c_str());
}

tagport_sim::ReaderModule* Module(JNIEnv* env) {
  if (!reader) {
    Throw(env, "java/lang/IllegalStateException", "module not started");
    return nullptr;
  }
  return &reader->module();
}

Bytes ToBytes(JNIEnv* env, jbyteArray array) {
  Bytes bytes(static_cast<size_t>(env->GetArrayLength(array)));
  env->GetByteArrayRegion(array, 0, static_cast<jsize>(bytes.size()),
                          reinterpret_cast<jbyte*>(bytes.data()));
  return bytes;
}

jbyteArray ToArray(JNIEnv* env, const Bytes& bytes) {
  jbyteArray array = env->NewByteArray(static_cast<jsize>(bytes.size()));
  if (array != nullptr) {
    env->SetByteArrayRegion(array, 0, static_cast<jsize>(bytes.size()),
                            reinterpret_cast<const jbyte*>(bytes.data()));
  }
  return array;
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
  const Bytes bytes = ToBytes(env, array);
  auto text = std::make_unique<std::vector<char>>(bytes.begin(), bytes.end());
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

}  // namespace

extern "C" {

JNIEXPORT jstring JNICALL
Java_tagport_jvmtest_SimulatedModule_start(JNIEnv* env, jclass) {
  reader.reset();
  auto fresh = std::make_unique<tagport_sim::SimulatedReader>();
  if (!fresh->ok()) {
    Throw(env, "java/lang/IllegalStateException", "no pseudo-terminal");
    return nullptr;
  }
  fresh->Start();
  setenv(kRedirectVariable, fresh->slave_path().c_str(), 1);
  reader = std::move(fresh);
  return env->NewStringUTF(reader->slave_path().c_str());
}

JNIEXPORT void JNICALL
Java_tagport_jvmtest_SimulatedModule_logTraffic(JNIEnv* env, jclass) {
  if (tagport_sim::ReaderModule* module = Module(env)) {
    module->SetLog([](const std::string& line) {
      printf("module %s\n", line.c_str());
      fflush(stdout);
    });
  }
}

JNIEXPORT void JNICALL Java_tagport_jvmtest_SimulatedModule_stop(JNIEnv*,
                                                                 jclass) {
  reader.reset();
  unsetenv(kRedirectVariable);
}

JNIEXPORT void JNICALL Java_tagport_jvmtest_SimulatedModule_setCardData(
    JNIEnv* env, jclass, jbyteArray data) {
  if (tagport_sim::ReaderModule* module = Module(env)) {
    module->SetCardData(ToBytes(env, data));
  }
}

JNIEXPORT void JNICALL Java_tagport_jvmtest_SimulatedModule_script(
    JNIEnv* env, jclass, jstring fault_name, jint delay_ms, jint pieces,
    jbyteArray raw) {
  tagport_sim::ReaderModule* module = Module(env);
  if (module == nullptr) return;
  tagport_sim::Reply reply;
  const Utf name(env, fault_name);
  if (name.get() == nullptr ||
      !tagport_sim::ParseFault(name.get(), &reply.fault)) {
    Throw(env, "java/lang/IllegalArgumentException", "unknown fault");
    return;
  }
  reply.delay_ms = delay_ms;
  reply.pieces = pieces > 0 ? static_cast<size_t>(pieces) : 1;
  if (raw != nullptr) reply.raw = ToBytes(env, raw);
  module->Script(reply);
}

JNIEXPORT jobjectArray JNICALL
Java_tagport_jvmtest_SimulatedModule_requests(JNIEnv* env, jclass) {
  tagport_sim::ReaderModule* module = Module(env);
  if (module == nullptr) return nullptr;
  const std::vector<Bytes> requests = module->Requests();
  jclass byte_array = env->FindClass("[B");
  if (byte_array == nullptr) return nullptr;
  jobjectArray result = env->NewObjectArray(static_cast<jsize>(requests.size()),
                                            byte_array, nullptr);
  for (size_t i = 0; result != nullptr && i < requests.size(); ++i) {
    jbyteArray request = ToArray(env, requests[i]);
    if (request == nullptr) return nullptr;
    env->SetObjectArrayElement(result, static_cast<jsize>(i), request);
    env->DeleteLocalRef(request);
  }
  return result;
}

JNIEXPORT jbyteArray JNICALL Java_tagport_jvmtest_SimulatedModule_frame(
    JNIEnv* env, jclass, jint target, jint status, jint command,
    jbyteArray payload) {
  return ToArray(env, tagport_sim::BuildFrame(static_cast<uint8_t>(target),
                                              static_cast<uint8_t>(status),
                                              static_cast<uint8_t>(command),
                                              ToBytes(env, payload)));
}

JNIEXPORT jlong JNICALL
Java_tagport_jvmtest_SimulatedModule_librarySleeps(JNIEnv*, jclass) {
  return tagport_redirect_sleep_calls();
}

JNIEXPORT jlong JNICALL
Java_tagport_jvmtest_SimulatedModule_libraryReads(JNIEnv*, jclass) {
  return tagport_redirect_read_calls();
}

JNIEXPORT void JNICALL
Java_tagport_jvmtest_SimulatedModule_resetLibraryCounts(JNIEnv*, jclass) {
  tagport_redirect_reset();
}

// `out` is handed to the library as it is (contents included, so bytes the
// library must not touch keep the caller's sentinel) and copied back.
JNIEXPORT jint JNICALL Java_tagport_jvmtest_SimulatedModule_encode(
    JNIEnv* env, jclass, jstring text, jstring charset, jbyteArray out) {
  const Utf charset_name(env, charset);
  std::unique_ptr<std::vector<char>> buffer;
  if (out != nullptr) {
    const Bytes initial = ToBytes(env, out);
    buffer =
        std::make_unique<std::vector<char>>(initial.begin(), initial.end());
  }
  last_result = jstring2pchar(env, text, charset_name.get(),
                              buffer ? buffer->data() : nullptr);
  // A pending exception goes to Java as it stands: no JNI call may follow.
  if (env->ExceptionCheck()) return last_result;
  if (buffer) {
    env->SetByteArrayRegion(out, 0, static_cast<jsize>(buffer->size()),
                            reinterpret_cast<const jbyte*>(buffer->data()));
  }
  return last_result;
}

JNIEXPORT jstring JNICALL Java_tagport_jvmtest_SimulatedModule_decode(
    JNIEnv* env, jclass, jbyteArray text, jstring charset) {
  const Utf charset_name(env, charset);
  const std::unique_ptr<std::vector<char>> bytes = ToCString(env, text);
  jstring decoded =
      pchar2jstring(env, bytes ? bytes->data() : nullptr, charset_name.get());
  last_result = decoded != nullptr ? 1 : 0;
  return decoded;
}

JNIEXPORT jint JNICALL Java_tagport_jvmtest_SimulatedModule_lastResult(JNIEnv*,
                                                                       jclass) {
  return last_result;
}

// Encodes and decodes `text` `rounds` times within this one native call,
// deleting only the references this loop itself receives: any local
// reference the library kept would pile up here. The count of round trips
// that gave `text` back, -1 when a call failed, kFrameLeft when a routine
// left a local frame behind.
JNIEXPORT jint JNICALL Java_tagport_jvmtest_SimulatedModule_roundTrips(
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
JNIEXPORT jint JNICALL Java_tagport_jvmtest_SimulatedModule_rejectedRounds(
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
Java_tagport_jvmtest_SimulatedModule_probeAroundLeftFrame(JNIEnv* env, jclass) {
  FrameProbe probe(env);
  if (!probe.Arm()) return -1;
  if (env->PushLocalFrame(1) != 0) return -1;
  probe.Disarm();
  return probe.Balanced() ? 0 : kFrameLeft;
}

JNIEXPORT void JNICALL
Java_tagport_jvmtest_SimulatedModule_overflowLocalReferences(JNIEnv* env,
                                                             jclass,
                                                             jint count) {
  for (jint i = 0; i < count; ++i) {
    if (env->NewStringUTF("kept") == nullptr) return;
  }
}

}  // extern "C"
