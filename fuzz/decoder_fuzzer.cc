// Drives the reply decoder with an arbitrary sequence of resets and bytes and
// checks it against a small model of the frame rules after every call.
//
// Input: a sequence of operations. Each starts with an opcode byte:
//   opcode % 8 == 0   ClearPacket()
//   otherwise         feed the next (opcode % 64) bytes to RxDecode, one call
//                     each (fewer when the input ends)
//
// Invariants, checked after every call:
//   * 0 <= MsgLen <= 2048 and 0 <= PacketLen <= 2048;
//   * PacketLen is 0 or at least 8, and 0 while MsgLen is below 3;
//   * MsgLen >= 1 implies MsgBuf[0] == 0x1E;
//   * RxDecode returns 0 or 1, and 1 exactly when the model says this byte
//     ends a frame whose checksum is right; then MsgLen == PacketLen >= 8,
//     MsgBuf[1..2] hold PacketLen and the checksum of
//     MsgBuf[0..PacketLen-2] equals MsgBuf[PacketLen-1];
//   * the counters equal the model's, the byte just stored is the byte fed,
//     and SentLen and FD_COM are untouched;
//   * ClearPacket leaves both counters 0 and MsgBuf all zero.
// Once per input, to keep the runs fast: MsgBuf[0..MsgLen) equals the
// model's bytes (so a completed frame stayed intact while later bytes
// arrived) and SentBuf is untouched. ASan's redzones around the globals
// catch a stray store at the moment it happens.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <tagport/frame_link.h>
#include <tagport/serial_port.h>

namespace {

constexpr int kCapacity = 2048;
constexpr int kOverhead = 8;

// What the decoder should hold, tracked independently of MsgBuf. The frame
// rules are written out here rather than shared with the library on
// purpose: this is the oracle the decoder is judged by, and an oracle that
// shared its code would agree with its mistakes.
struct Model {
  int stored = 0;    // MsgLen
  int declared = 0;  // PacketLen
  bool complete = false;
  uint8_t bytes[kCapacity];
  uint8_t sum = 0;  // of the bytes stored so far

  void Reset() {
    stored = 0;
    declared = 0;
    complete = false;
    sum = 0;
  }

  // The result RxDecode must give for `byte`.
  int Feed(uint8_t byte) {
    if (complete) {
      if (stored < kCapacity) bytes[stored++] = byte;
      return 0;
    }
    if (stored == 0 && byte != 0x1E) return 0;
    if (stored + 1 == declared) {
      const bool good = sum == byte;
      if (good) {
        bytes[stored++] = byte;
        complete = true;
        return 1;
      }
      Reset();
      return 0;
    }
    bytes[stored++] = byte;
    sum = static_cast<uint8_t>(sum + byte);
    if (stored == 3) {
      declared = bytes[1] * 256 + bytes[2];
      if (declared < kOverhead || declared > kCapacity) Reset();
    }
    return 0;
  }
};

Model model;
uint8_t sent_snapshot[sizeof SentBuf];
int32_t sent_len_snapshot;
int32_t fd_snapshot;

[[noreturn]] void Fail(const char* what) {
  fprintf(stderr, "invariant broken: %s (MsgLen %d, PacketLen %d)\n", what,
          MsgLen, PacketLen);
  abort();
}

void Check(bool condition, const char* what) {
  if (!condition) Fail(what);
}

void CheckCounters() {
  Check(MsgLen >= 0 && MsgLen <= kCapacity, "MsgLen out of range");
  Check(PacketLen >= 0 && PacketLen <= kCapacity, "PacketLen out of range");
  Check(PacketLen == 0 || PacketLen >= kOverhead, "PacketLen below 8");
  Check(MsgLen >= 3 || PacketLen == 0, "length set before its bytes");
  Check(MsgLen == 0 || MsgBuf[0] == 0x1E, "frame without start byte");
  Check(MsgLen == 0 || MsgBuf[MsgLen - 1] == model.bytes[MsgLen - 1],
        "last stored byte differs from the model");
  Check(MsgLen == model.stored, "MsgLen differs from the model");
  Check(PacketLen == model.declared, "PacketLen differs from the model");
  Check(SentLen == sent_len_snapshot, "SentLen changed");
  Check(FD_COM == fd_snapshot, "FD_COM changed");
}

void CheckBuffers() {
  Check(memcmp(MsgBuf, model.bytes, static_cast<size_t>(MsgLen)) == 0,
        "stored bytes differ from the model");
  Check(memcmp(SentBuf, sent_snapshot, sizeof SentBuf) == 0, "SentBuf changed");
}

void CheckCompleted() {
  Check(MsgLen == PacketLen && PacketLen >= kOverhead,
        "completed frame with wrong counters");
  Check(MsgBuf[1] * 256 + MsgBuf[2] == PacketLen,
        "completed frame's length field differs");
  Check(GetChkSum(MsgBuf, PacketLen - 1) == MsgBuf[PacketLen - 1],
        "completed frame's checksum is wrong");
}

void ClearAndCheck() {
  ClearPacket();
  model.Reset();
  Check(MsgLen == 0 && PacketLen == 0, "ClearPacket left counters");
  static const uint8_t kZeros[sizeof MsgBuf] = {};
  Check(memcmp(MsgBuf, kZeros, sizeof MsgBuf) == 0, "ClearPacket left bytes");
  CheckCounters();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // A pattern, so that a stray write of zeros would show too.
  for (size_t i = 0; i < sizeof SentBuf; ++i) {
    SentBuf[i] = static_cast<unsigned char>(i * 7 + 3);
  }
  SentLen = 0x5A5A;
  memcpy(sent_snapshot, SentBuf, sizeof SentBuf);
  sent_len_snapshot = SentLen;
  fd_snapshot = FD_COM;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ClearAndCheck();
  size_t at = 0;
  while (at < size) {
    const uint8_t opcode = data[at++];
    if (opcode % 8 == 0) {
      ClearAndCheck();
      continue;
    }
    for (size_t count = opcode % 64; count > 0 && at < size; --count) {
      const uint8_t byte = data[at++];
      const int expected = model.Feed(byte);
      const int result = RxDecode(byte);
      Check(result == 0 || result == 1, "RxDecode result not 0 or 1");
      Check(result == expected, "RxDecode result differs from the model");
      if (result == 1) CheckCompleted();
      CheckCounters();
    }
  }
  CheckBuffers();
  return 0;
}
