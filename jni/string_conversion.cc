#include <stdint.h>
#include <string.h>

#include "jni/tagport_jni.h"

namespace {

// Room for every local reference either routine makes. The frame lets the
// routines drop them all at once, also on paths where a failing JNI call
// leaves one behind, so callers may convert in loops of any length.
const jint kLocalFrameSize = 8;

}  // namespace

int jstring2pchar(JNIEnv* env, jstring text, const char* charsetName,
                  char* out) {
  if (env == nullptr || text == nullptr || charsetName == nullptr ||
      out == nullptr) {
    return 0;
  }
  if (env->PushLocalFrame(kLocalFrameSize) != 0) return 0;

  // Each step runs only if the one before produced its result; a failed
  // step leaves its Java exception pending for the caller.
  int count = 0;
  jclass string_class = env->FindClass("java/lang/String");
  jstring charset = string_class ? env->NewStringUTF(charsetName) : nullptr;
  jmethodID get_bytes = charset ? env->GetMethodID(string_class, "getBytes",
                                                   "(Ljava/lang/String;)[B")
                                : nullptr;
  jbyteArray encoded = get_bytes
                           ? static_cast<jbyteArray>(env->CallObjectMethod(
                                 text, get_bytes, charset))
                           : nullptr;
  if (encoded != nullptr && !env->ExceptionCheck()) {
    const jsize n = env->GetArrayLength(encoded);
    jbyte* bytes = env->GetByteArrayElements(encoded, nullptr);
    if (bytes != nullptr) {
      if (n > 0) memcpy(out, bytes, static_cast<size_t>(n));
      env->ReleaseByteArrayElements(encoded, bytes, 0);
      count = n;
    }
  }
  env->PopLocalFrame(nullptr);
  return count;
}

jstring pchar2jstring(JNIEnv* env, const char* text, const char* charsetName) {
  if (env == nullptr || text == nullptr || charsetName == nullptr) {
    return nullptr;
  }
  const size_t length = strlen(text);
  if (length > INT32_MAX) return nullptr;
  if (env->PushLocalFrame(kLocalFrameSize) != 0) return nullptr;

  jstring charset = env->NewStringUTF(charsetName);
  jclass string_class = charset ? env->FindClass("java/lang/String") : nullptr;
  jmethodID constructor =
      string_class
          ? env->GetMethodID(string_class, "<init>", "([BLjava/lang/String;)V")
          : nullptr;
  jbyteArray bytes =
      constructor ? env->NewByteArray(static_cast<jsize>(length)) : nullptr;
  jobject decoded = nullptr;
  if (bytes != nullptr) {
    env->SetByteArrayRegion(bytes, 0, static_cast<jsize>(length),
                            reinterpret_cast<const jbyte*>(text));
    decoded = env->NewObject(string_class, constructor, bytes, charset);
    if (env->ExceptionCheck()) decoded = nullptr;
  }
  // Hands the string back as a reference in the caller's frame; everything
  // else made here goes with this frame.
  return static_cast<jstring>(env->PopLocalFrame(decoded));
}
