// The public headers promise C callers: this file includes all four as
// strict C99 and takes every exported name at the type a C caller sees, so
// a C++-only construct or a changed declaration fails the build. They are
// included as an installed package offers them.
#include <tagport/frame_link.h>
#include <tagport/reader.h>
#include <tagport/serial_port.h>
#include <tagport/tagport_jni.h>

int32_t* const kPortDescriptor = &FD_COM;
int (*const kOpenSerial)(uint32_t, int32_t) = Api_OpenSerial;
int (*const kCloseSerial)(void) = Api_CloseSerial;
int (*const kWriteSerial)(const unsigned char*, int) = Api_WriteSerial;
int (*const kReadSerial)(unsigned char*, int) = Api_ReadSerial;

unsigned char (*const kSentBuf)[2048] = &SentBuf;
int32_t* const kSentLen = &SentLen;
unsigned char (*const kMsgBuf)[2048] = &MsgBuf;
int32_t* const kMsgLen = &MsgLen;
int32_t* const kPacketLen = &PacketLen;
int (*const kChecksum)(const unsigned char*, int) = GetChkSum;
int (*const kSendPacket)(int, int, const unsigned char*, int) = SentPacket;
void (*const kClearPacket)(void) = ClearPacket;
int (*const kDecode)(int) = RxDecode;
int (*const kWaitReply)(int) = IsSuccessRecv;

jint(JNICALL* const kJavaOpen)(JNIEnv*, jclass) = Java_android_kq_Ctagport_open;
jint(JNICALL* const kJavaClose)(JNIEnv*,
                                jclass) = Java_android_kq_Ctagport_close;
jint(JNICALL* const kJavaSeek)(JNIEnv*, jclass,
                               jbyteArray) = Java_android_kq_Ctagport_seek;
jint(JNICALL* const kJavaMove)(JNIEnv*, jclass) = Java_android_kq_Ctagport_move;
int (*const kToBytes)(JNIEnv*, jstring, const char*, char*) = jstring2pchar;
jstring (*const kToString)(JNIEnv*, const char*, const char*) = pchar2jstring;

// The reader header's inline functions, as a C caller calls them.
const unsigned char* (*const kReaderPayload)(int, int*) = TagportReaderPayload;
int (*const kReaderSend)(int) = TagportReaderSend;
TagportReplyProblem (*const kReaderCheckReply)(int, const unsigned char*,
                                               int) = TagportReaderCheckReply;
int (*const kReaderCardCount)(int) = TagportReaderCardCount;
