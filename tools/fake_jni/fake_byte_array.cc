#include "tools/fake_jni/fake_byte_array.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <type_traits>

namespace tagport_tools {

namespace {

// The JDK's and Android's jni.h name the function table's type differently.
using FunctionTable =
    std::remove_const_t<std::remove_pointer_t<decltype(JNIEnv::functions)>>;

FakeByteArray* ArrayOf(jarray handle) {
  // A JVM would crash on it too: a finding, not something to survive.
  if (handle == nullptr) {
    fprintf(stderr, "fake JNI: array function called on a null array\n");
    abort();
  }
  return reinterpret_cast<FakeByteArray*>(handle);
}

}  // namespace

struct FakeJniCalls {
  static jsize GetArrayLength(JNIEnv*, jarray handle) {
    FakeByteArray* array = ArrayOf(handle);
    ++array->length_calls_;
    return array->length_;
  }

  static jbyte* GetByteArrayElements(JNIEnv*, jbyteArray handle, jboolean*) {
    FakeByteArray* array = ArrayOf(handle);
    ++array->gets_;
    if (array->fail_elements_) return nullptr;
    return reinterpret_cast<jbyte*>(array->bytes());
  }

  static void ReleaseByteArrayElements(JNIEnv*, jbyteArray handle,
                                       jbyte* elements, jint mode) {
    FakeByteArray* array = ArrayOf(handle);
    ++array->releases_;
    array->release_mode_ = mode;
    if (array->fail_elements_ ||
        elements != reinterpret_cast<jbyte*>(array->bytes())) {
      array->released_what_was_got_ = false;
    }
  }

  static FunctionTable Table() {
    FunctionTable table;
    memset(&table, 0, sizeof table);
    table.GetArrayLength = GetArrayLength;
    table.GetByteArrayElements = GetByteArrayElements;
    table.ReleaseByteArrayElements = ReleaseByteArrayElements;
    return table;
  }
};

void FakeByteArray::Reset(jsize length, uint8_t fill) {
  if (length < 0 || static_cast<size_t>(length) > kMaxLength) abort();
  memset(storage_, kGuardByte, sizeof storage_);
  memset(bytes(), fill, static_cast<size_t>(length));
  length_ = length;
  fail_elements_ = false;
  length_calls_ = gets_ = releases_ = 0;
  release_mode_ = -1;
  released_what_was_got_ = true;
}

long FakeByteArray::SpoiledGuard() const {
  const size_t end = kGuard + static_cast<size_t>(length_);
  for (size_t k = 0; k < sizeof storage_; ++k) {
    if ((k < kGuard || k >= end) && storage_[k] != kGuardByte) {
      return static_cast<long>(k);
    }
  }
  return -1;
}

JNIEnv* FakeJniEnv() {
  static const FunctionTable table = FakeJniCalls::Table();
  static JNIEnv env = [] {
    JNIEnv made;
    memset(&made, 0, sizeof made);
    made.functions = &table;
    return made;
  }();
  return &env;
}

}  // namespace tagport_tools
