// A Java byte array and a JNIEnv that reaches it, without a JVM: for running
// the reader commands' seek in native tests and fuzz targets, on any target
// qemu runs. The environment offers GetArrayLength, GetByteArrayElements and
// ReleaseByteArrayElements on FakeByteArray handles, and counts them; every
// other entry of its table is null, so any other JNI call crashes the
// program and cannot pass unseen.
#ifndef TAGPORT_TOOLS_FAKE_JNI_FAKE_BYTE_ARRAY_H_
#define TAGPORT_TOOLS_FAKE_JNI_FAKE_BYTE_ARRAY_H_

#include <jni.h>
#include <stddef.h>
#include <stdint.h>

namespace tagport_tools {

class FakeByteArray {
 public:
  static constexpr size_t kMaxLength = 4096;
  // Bytes on either side of the array, to show a write beyond it.
  static constexpr size_t kGuard = 64;
  static constexpr uint8_t kGuardByte = 0xA5;

  // A new array of `length` (at most kMaxLength) bytes, each `fill`, with
  // fresh guards and counts, whose elements can be obtained.
  void Reset(jsize length, uint8_t fill);

  // The handle native code receives for this array.
  jbyteArray handle() { return reinterpret_cast<jbyteArray>(this); }
  jsize length() const { return length_; }
  // The array's bytes, as the JVM would hold them.
  uint8_t* bytes() { return storage_ + kGuard; }
  // The first guard byte that no longer holds kGuardByte, or -1.
  long SpoiledGuard() const;

  // Makes GetByteArrayElements give null, as when the JVM is out of memory.
  void FailElements() { fail_elements_ = true; }

  int length_calls() const { return length_calls_; }
  int gets() const { return gets_; }
  int releases() const { return releases_; }
  // The mode of the last release, -1 before any.
  jint release_mode() const { return release_mode_; }
  // Whether every release handed back the pointer GetByteArrayElements gave.
  bool released_what_was_got() const { return released_what_was_got_; }

 private:
  friend struct FakeJniCalls;
  uint8_t storage_[kGuard + kMaxLength + kGuard];
  jsize length_ = 0;
  bool fail_elements_ = false;
  int length_calls_ = 0;
  int gets_ = 0;
  int releases_ = 0;
  jint release_mode_ = -1;
  bool released_what_was_got_ = true;
};

// The environment for FakeByteArray handles; one for the whole process.
JNIEnv* FakeJniEnv();

}  // namespace tagport_tools

#endif  // TAGPORT_TOOLS_FAKE_JNI_FAKE_BYTE_ARRAY_H_
