#include <stdint.h>
#include <string.h>
#include <tagport/tagport_jni.h>

// Native callers reach these routines from inside their own JNI calls, maybe
// with a Java exception already pending. Android's CheckJNI aborts the
// process on any JNI call made then, other than the few the JNI allows
// (ExceptionCheck, PushLocalFrame, PopLocalFrame, releases). So each routine
// checks for one first, and each step below returns as soon as one is
// pending, leaving it for the caller.

namespace {

// Room for every local reference either routine makes. The frame lets the
// routines drop them all at once, also on paths where a failing JNI call
// leaves one behind, so callers may convert in loops of any length.
const jint kLocalFrameSize = 8;

// Charset names are ASCII (letters, digits and - + . : _). A byte above 0x7F
// is no part of one, and must not reach NewStringUTF: such bytes need not be
// valid modified UTF-8, which Android's CheckJNI aborts on.
bool IsAscii(const char* text) {
  for (; *text != '\0'; ++text) {
    if (static_cast<unsigned char>(*text) > 0x7F) return false;
  }
  return true;
}

// The charset name as a Java string, or null with an exception pending. A
// name that cannot be one is refused as Java refuses unknown names.
jstring CharsetString(JNIEnv* env, const char* charsetName) {
  if (IsAscii(charsetName)) return env->NewStringUTF(charsetName);
  jclass unsupported = env->FindClass("java/io/UnsupportedEncodingException");
  if (unsupported == nullptr) return nullptr;
  env->ThrowNew(unsupported, "charset name is not ASCII");
  return nullptr;
}

// The steps of jstring2pchar inside its local frame: the byte count, or 0.
int Encode(JNIEnv* env, jstring text, const char* charsetName, char* out) {
  jclass string_class = env->FindClass("java/lang/String");
  if (string_class == nullptr) return 0;
  // A String method called on another object is undefined behaviour that
  // HotSpot lets pass and Android's CheckJNI aborts on; treat it like a null.
  if (!env->IsInstanceOf(text, string_class)) return 0;
  jstring charset = CharsetString(env, charsetName);
  if (charset == nullptr) return 0;
  jmethodID get_bytes =
      env->GetMethodID(string_class, "getBytes", "(Ljava/lang/String;)[B");
  if (get_bytes == nullptr) return 0;
  jobject encoded = env->CallObjectMethod(text, get_bytes, charset);
  // UnsupportedEncodingException for a name the runtime does not know.
  if (env->ExceptionCheck() || encoded == nullptr) return 0;
  jbyteArray encoded_bytes = static_cast<jbyteArray>(encoded);
  const jsize n = env->GetArrayLength(encoded_bytes);
  jbyte* bytes = env->GetByteArrayElements(encoded_bytes, nullptr);
  if (bytes == nullptr) return 0;  // OutOfMemoryError is pending
  if (n > 0) memcpy(out, bytes, static_cast<size_t>(n));
  // Released once, with the pointer obtained and before any other JNI call;
  // the bytes are not used after it.
  env->ReleaseByteArrayElements(encoded_bytes, bytes, 0);
  return n;
}

// The steps of pchar2jstring inside its local frame: the new string, or
// null.
jobject Decode(JNIEnv* env, const char* text, jsize length,
               const char* charsetName) {
  jstring charset = CharsetString(env, charsetName);
  if (charset == nullptr) return nullptr;
  jclass string_class = env->FindClass("java/lang/String");
  if (string_class == nullptr) return nullptr;
  jmethodID constructor =
      env->GetMethodID(string_class, "<init>", "([BLjava/lang/String;)V");
  if (constructor == nullptr) return nullptr;
  jbyteArray bytes = env->NewByteArray(length);
  if (bytes == nullptr) return nullptr;
  env->SetByteArrayRegion(bytes, 0, length,
                          reinterpret_cast<const jbyte*>(text));
  if (env->ExceptionCheck()) return nullptr;
  jobject decoded = env->NewObject(string_class, constructor, bytes, charset);
  // UnsupportedEncodingException for a name the runtime does not know.
  if (env->ExceptionCheck()) return nullptr;
  return decoded;
}

}  // namespace

int jstring2pchar(JNIEnv* env, jstring text, const char* charsetName,
                  char* out) {
  if (env == nullptr) return 0;
  if (env->ExceptionCheck()) return 0;
  if (text == nullptr || charsetName == nullptr || out == nullptr) return 0;
  if (env->PushLocalFrame(kLocalFrameSize) != 0) return 0;
  const int count = Encode(env, text, charsetName, out);
  env->PopLocalFrame(nullptr);
  return count;
}

jstring pchar2jstring(JNIEnv* env, const char* text, const char* charsetName) {
  if (env == nullptr) return nullptr;
  if (env->ExceptionCheck()) return nullptr;
  if (text == nullptr || charsetName == nullptr) return nullptr;
  const size_t length = strlen(text);
  if (length > INT32_MAX) return nullptr;
  if (env->PushLocalFrame(kLocalFrameSize) != 0) return nullptr;
  jobject decoded = Decode(env, text, static_cast<jsize>(length), charsetName);
  // Hands the string back as a reference in the caller's frame; everything
  // else made here goes with this frame.
  return static_cast<jstring>(env->PopLocalFrame(decoded));
}
