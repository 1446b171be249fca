// Native part of tagport.sim.SimulatedReader: one simulated reader module in
// the JVM's own process, on a fresh pseudo-terminal that "/dev/ttyMT3" leads
// to while it runs. The Java class serialises every call on its class lock.
#include <dlfcn.h>
#include <jni.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "tagport_sim_SimulatedReader.h"
#include "tools/sim/simulated_reader.h"

namespace {

using tagport_sim::Bytes;

// The node redirect reads the path "/dev/ttyMT3" leads to from this variable
// at every open.
const char kRedirectVariable[] = "TAGPORT_TTYMT3";
// Defined by the node redirect alone. Without the redirect loaded ahead of
// libc the library would open the real node and the module would wait in
// vain.
const char kRedirectSymbol[] = "tagport_redirect_node_opens";

std::unique_ptr<tagport_sim::SimulatedReader> running;

const char kRedirectFile[] = "libtagport_redirect.so";

// Where the node redirect to preload lies: beside this library, as the test
// kit installs both, else where the build that made this library put it.
std::string RedirectToPreload() {
  Dl_info self;
  if (dladdr(reinterpret_cast<void*>(&RedirectToPreload), &self) != 0 &&
      self.dli_fname != nullptr) {
    std::string beside = self.dli_fname;
    const size_t slash = beside.rfind('/');
    beside = (slash == std::string::npos ? std::string(".")
                                         : beside.substr(0, slash)) +
             "/" + kRedirectFile;
    char resolved[4096];
    if (realpath(beside.c_str(), resolved) != nullptr) return resolved;
  }
#ifdef TAGPORT_REDIRECT_BUILT_AT
  if (access(TAGPORT_REDIRECT_BUILT_AT, R_OK) == 0) {
    return TAGPORT_REDIRECT_BUILT_AT;
  }
#endif
  return kRedirectFile;
}

// Raises `class_name` with `message`, both plain ASCII. When the class
// cannot be found, the lookup's own error is the one left pending.
void Throw(JNIEnv* env, const char* class_name, const char* message) {
  jclass type = env->FindClass(class_name);
  if (type == nullptr) return;
  env->ThrowNew(type, message);
}

// Java checks that a reader runs before it calls; this guards the native
// state all the same, as a stopped module would be a null dereference.
tagport_sim::ReaderModule* Module(JNIEnv* env) {
  if (!running) {
    Throw(env, "java/lang/IllegalStateException",
          "the simulated reader was stopped");
    return nullptr;
  }
  return &running->module();
}

// False with an exception pending when the array could not be read; Java
// hands over non-null arrays only.
bool ToBytes(JNIEnv* env, jbyteArray array, Bytes* bytes) {
  bytes->resize(static_cast<size_t>(env->GetArrayLength(array)));
  env->GetByteArrayRegion(array, 0, static_cast<jsize>(bytes->size()),
                          reinterpret_cast<jbyte*>(bytes->data()));
  return !env->ExceptionCheck();
}

// A new Java array, or null with an exception pending.
jbyteArray ToArray(JNIEnv* env, const Bytes& bytes) {
  jbyteArray array = env->NewByteArray(static_cast<jsize>(bytes.size()));
  if (array == nullptr) return nullptr;
  env->SetByteArrayRegion(array, 0, static_cast<jsize>(bytes.size()),
                          reinterpret_cast<const jbyte*>(bytes.data()));
  return env->ExceptionCheck() ? nullptr : array;
}

}  // namespace

JNIEXPORT jstring JNICALL
Java_tagport_sim_SimulatedReader_nativeStart(JNIEnv* env, jclass) {
  if (dlsym(RTLD_DEFAULT, kRedirectSymbol) == nullptr) {
    const std::string message =
        "the node redirect library is not loaded: start the JVM with "
        "LD_PRELOAD=" +
        RedirectToPreload();
    Throw(env, "java/lang/IllegalStateException", message.c_str());
    return nullptr;
  }
  auto fresh = std::make_unique<tagport_sim::SimulatedReader>();
  if (!fresh->ok()) {
    Throw(env, "java/io/IOException", "no pseudo-terminal for the module");
    return nullptr;
  }
  // The path is the system's pty name, plain ASCII: valid modified UTF-8.
  jstring path = env->NewStringUTF(fresh->slave_path().c_str());
  if (path == nullptr) return nullptr;
  fresh->Start();
  setenv(kRedirectVariable, fresh->slave_path().c_str(), 1);
  running = std::move(fresh);
  return path;
}

JNIEXPORT void JNICALL Java_tagport_sim_SimulatedReader_nativeStop(JNIEnv*,
                                                                   jclass) {
  unsetenv(kRedirectVariable);
  running.reset();
}

JNIEXPORT void JNICALL Java_tagport_sim_SimulatedReader_nativeSetCardData(
    JNIEnv* env, jclass, jbyteArray data) {
  tagport_sim::ReaderModule* module = Module(env);
  if (module == nullptr) return;
  Bytes bytes;
  if (!ToBytes(env, data, &bytes)) return;
  module->SetCardData(bytes);
}

JNIEXPORT void JNICALL Java_tagport_sim_SimulatedReader_nativeScript(
    JNIEnv* env, jclass, jstring fault_name, jint delay_ms, jint pieces,
    jbyteArray raw) {
  tagport_sim::ReaderModule* module = Module(env);
  if (module == nullptr) return;
  tagport_sim::Reply reply;
  const char* name = env->GetStringUTFChars(fault_name, nullptr);
  if (name == nullptr) return;  // OutOfMemoryError is pending
  const bool known = tagport_sim::ParseFault(name, &reply.fault);
  env->ReleaseStringUTFChars(fault_name, name);
  if (!known) {
    Throw(env, "java/lang/IllegalArgumentException", "unknown fault");
    return;
  }
  reply.delay_ms = delay_ms;
  reply.pieces = static_cast<size_t>(pieces);
  if (raw != nullptr) {
    Bytes bytes;
    if (!ToBytes(env, raw, &bytes)) return;
    reply.raw = bytes;
  }
  module->Script(reply);
}

JNIEXPORT jobjectArray JNICALL
Java_tagport_sim_SimulatedReader_nativeRequests(JNIEnv* env, jclass) {
  tagport_sim::ReaderModule* module = Module(env);
  if (module == nullptr) return nullptr;
  const std::vector<Bytes> requests = module->Requests();
  jclass byte_array = env->FindClass("[B");
  if (byte_array == nullptr) return nullptr;
  jobjectArray result = env->NewObjectArray(static_cast<jsize>(requests.size()),
                                            byte_array, nullptr);
  if (result == nullptr) return nullptr;
  for (size_t i = 0; i < requests.size(); ++i) {
    jbyteArray request = ToArray(env, requests[i]);
    if (request == nullptr) return nullptr;
    env->SetObjectArrayElement(result, static_cast<jsize>(i), request);
    if (env->ExceptionCheck()) return nullptr;
    // One reference per request would overflow the local table of a long
    // session.
    env->DeleteLocalRef(request);
  }
  return result;
}

JNIEXPORT void JNICALL
Java_tagport_sim_SimulatedReader_nativeLogTraffic(JNIEnv* env, jclass) {
  tagport_sim::ReaderModule* module = Module(env);
  if (module == nullptr) return;
  // The module's own thread logs; it has no JNIEnv, so it writes to the
  // process's standard output rather than to System.out.
  module->SetLog([](const std::string& line) {
    printf("module %s\n", line.c_str());
    fflush(stdout);
  });
}

JNIEXPORT jbyteArray JNICALL Java_tagport_sim_SimulatedReader_nativeFrame(
    JNIEnv* env, jclass, jint target, jint status, jint command,
    jbyteArray payload) {
  Bytes bytes;
  if (!ToBytes(env, payload, &bytes)) return nullptr;
  return ToArray(env,
                 tagport_sim::BuildFrame(static_cast<uint8_t>(target),
                                         static_cast<uint8_t>(status),
                                         static_cast<uint8_t>(command), bytes));
}
