// Java interface: the native methods of android.kq.Ctagport and the Java
// string conversions for native code running inside a JNI call.
#ifndef TAGPORT_TAGPORT_JNI_H_
#define TAGPORT_TAGPORT_JNI_H_

#include <jni.h>

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

// The native methods bind whether Java declares them static or instance
// methods: the receiver is never used.

// Opens "/dev/ttyMT3" at 115200 bit/s and asks the reader to start.
// 0 accepted, -1 failure, -2 no reply.
JNIEXPORT jint JNICALL Java_android_kq_Ctagport_open(JNIEnv* env, jclass cls);

// Closes the port. Always 0.
JNIEXPORT jint JNICALL Java_android_kq_Ctagport_close(JNIEnv* env, jclass cls);

// Reads a card into the start of `data`. The data count (8 or more),
// -1 failure (also an array too short for the data), -2 no reply. A null
// array or one shorter than 8 bytes gives -1 at once, with nothing sent.
JNIEXPORT jint JNICALL Java_android_kq_Ctagport_seek(JNIEnv* env, jclass cls,
                                                     jbyteArray data);

// Asks the reader to move the card on. 0 accepted, -1 failure, -2 no reply.
JNIEXPORT jint JNICALL Java_android_kq_Ctagport_move(JNIEnv* env, jclass cls);

// The two conversions make no JNI call but ExceptionCheck when called with a
// Java exception pending: they fail at once and leave it pending, so native
// code may call them wherever it stands.

// Encodes `text` in `charsetName` into `out`, which must hold the whole
// encoding; no terminating zero. The byte count; 0 on failure: a null
// argument or a `text` that is no String (nothing raised), or a Java
// exception pending, from before the call or raised here (an unknown or
// non-ASCII charset name raises UnsupportedEncodingException).
int jstring2pchar(JNIEnv* env, jstring text, const char* charsetName,
                  char* out);

// Decodes the zero-terminated `text` from `charsetName`. A new local string;
// null on failure: a null argument (nothing raised), or a Java exception
// pending, from before the call or raised here (as for jstring2pchar).
jstring pchar2jstring(JNIEnv* env, const char* text, const char* charsetName);

#pragma GCC visibility pop
#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // TAGPORT_TAGPORT_JNI_H_
