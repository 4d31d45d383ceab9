#ifndef VEXAHVWRAPPER_H
#define VEXAHVWRAPPER_H
/*
 * HV access library: the C API through which every hardware access goes.
 *
 * A mainframe is named by the handle that VEXAHV_InitSystem hands out. Every function
 * returns VEXAHV_OK (0) on success, otherwise one of the VEXAHV_ERR_* codes below; after
 * a failure no out argument is meaningful and nothing needs to be released.
 *
 * Memory
 *   Lists the library allocates (marked "library list") are released with VEXAHV_Free;
 *   event lists with the free function of their channel. Every other out argument is a
 *   buffer of the caller's, of the size given here.
 *
 * Values
 *   Numeric values travel as 4 bytes in host order: a float for parameter type 0, a 32-bit
 *   integer for the other numeric types (on/off parameters give 0 or 1).
 *   Text values of board and channel parameters (type 5) returned by VEXAHV_GetBdParam and
 *   VEXAHV_GetChParam: the value area holds one field of VEXAHV_TEXT_VALUE_SIZE (1024)
 *   bytes per listed slot or channel, back to back, each a NUL-terminated text (longer
 *   texts are cut). For one slot or channel that is simply one 1024-byte buffer.
 *   System-property text (type 0) is at most VEXAHV_SYSPROP_TEXT_SIZE bytes including NUL.
 *
 * Time-outs
 *   Every call that talks to a mainframe gives up after the call time-out (default
 *   VEXAHV_DEFAULT_TIMEOUT_MS, environment variable VEXAHV_TIMEOUT_MS) with
 *   VEXAHV_ERR_TIMEOUT. A time-out or a transport failure breaks the connection: every
 *   later call on that handle fails at once with VEXAHV_ERR_NOT_CONNECTED until
 *   VEXAHV_DeinitSystem and a new VEXAHV_InitSystem.
 *
 * Threads
 *   Every function may be called from many threads at once, on one handle or many.
 *   Calls on one handle are served one after another.
 *
 * Link
 *   Link type 0 (TCP/IP): the link argument is the mainframe's IPv4 address in dotted
 *   decimal; the port is VEXAHV_DEFAULT_PORT, or the environment variable
 *   VEXAHV_MAINFRAME_PORT when it is set.
 */

#include <stdint.h>

#if defined(__GNUC__)
#define VEXAHV_API __attribute__((visibility("default")))
#else
#define VEXAHV_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes. */
#define VEXAHV_OK 0
#define VEXAHV_ERR_NOT_CONNECTED 1     /* unreachable, or the connection broke earlier   */
#define VEXAHV_ERR_TIMEOUT 2           /* the mainframe did not answer in time          */
#define VEXAHV_ERR_LOGIN_REFUSED 3     /* user name or password not accepted             */
#define VEXAHV_ERR_UNKNOWN_HANDLE 4    /* not a handle of VEXAHV_InitSystem, or released */
#define VEXAHV_ERR_SYSTEM_TYPE 5       /* unknown system type, or not this mainframe's   */
#define VEXAHV_ERR_LINK_TYPE 6         /* link type other than 0 (TCP/IP)                */
#define VEXAHV_ERR_NO_SLOT 7           /* no board in that slot                          */
#define VEXAHV_ERR_NO_CHANNEL 8        /* the board has no such channel                  */
#define VEXAHV_ERR_NO_PARAMETER 9      /* no such parameter / system property            */
#define VEXAHV_ERR_NO_PROPERTY 10      /* no such parameter property                     */
#define VEXAHV_ERR_WRONG_TYPE 11       /* the parameters listed differ in type           */
#define VEXAHV_ERR_READ_ONLY 12        /* write of a read-only item                      */
#define VEXAHV_ERR_WRITE_ONLY 13       /* read of a write-only item                      */
#define VEXAHV_ERR_OUT_OF_RANGE 14     /* value outside [Minval, Maxval], or text too long */
#define VEXAHV_ERR_PROTOCOL 15         /* damaged or unexpected data from the peer       */
#define VEXAHV_ERR_INVALID_ARGUMENT 16 /* null pointer, zero count, malformed address    */
#define VEXAHV_ERR_NO_COMMAND 17       /* unknown command for VEXAHV_ExecComm            */
#define VEXAHV_ERR_INHIBITED 18        /* channel tripped, killed or interlocked         */
#define VEXAHV_ERR_SOCKET 19           /* event socket closed, shut down or failing      */
#define VEXAHV_ERR_NO_MEMORY 20

/* System types accepted by VEXAHV_InitSystem. */
#define VEXAHV_SYSTEM_TYPE_0 0 /* UDP events                                  */
#define VEXAHV_SYSTEM_TYPE_2 2 /* TCP events, needs user name and password    */
#define VEXAHV_SYSTEM_TYPE_4 4
#define VEXAHV_SYSTEM_TYPE_5 5
#define VEXAHV_SYSTEM_TYPE_7 7 /* probed through "FUFwRel" of slot 0          */
#define VEXAHV_SYSTEM_TYPE_10 10

#define VEXAHV_LINK_TCPIP 0

#define VEXAHV_DEFAULT_PORT 4601
#define VEXAHV_DEFAULT_TIMEOUT_MS 3000

/* Sizes. */
#define VEXAHV_PARAM_NAME_SIZE 10      /* one field of a parameter-name list            */
#define VEXAHV_CH_NAME_SIZE 12         /* one channel name, NUL included                */
#define VEXAHV_TEXT_VALUE_SIZE 1024    /* one text value of a board/channel parameter   */
#define VEXAHV_SYSPROP_TEXT_SIZE 256   /* one system-property text, NUL included        */
#define VEXAHV_PROP_TEXT_SIZE 1024     /* "Onstate"/"Offstate" labels, NUL included     */
#define VEXAHV_MAX_LIST 4096           /* most slots, channels or names in one call     */

/* Parameter types ("Type" property). */
#define VEXAHV_PARAM_NUMERIC 0 /* float                   */
#define VEXAHV_PARAM_ONOFF 1   /* 0 off, 1 on             */
#define VEXAHV_PARAM_CHSTATUS 2
#define VEXAHV_PARAM_BDSTATUS 3
#define VEXAHV_PARAM_BINARY 4
#define VEXAHV_PARAM_STRING 5

/* Parameter and system-property modes ("Mode" property). */
#define VEXAHV_MODE_RDONLY 0
#define VEXAHV_MODE_WRONLY 1
#define VEXAHV_MODE_RDWR 2

/* System-property types. */
#define VEXAHV_SYSPROP_STR 0   /* text                 */
#define VEXAHV_SYSPROP_REAL 1  /* float, 4 bytes       */
#define VEXAHV_SYSPROP_UINT2 2 /* 16-bit unsigned      */
#define VEXAHV_SYSPROP_UINT4 3 /* 32-bit unsigned      */
#define VEXAHV_SYSPROP_INT2 4  /* 16-bit signed        */
#define VEXAHV_SYSPROP_INT4 5  /* 32-bit signed        */
#define VEXAHV_SYSPROP_BOOL 6  /* 16-bit, 0 or 1       */

/* Event types, first field of both record layouts. */
#define VEXAHV_EVENT_PARAMETER 0
#define VEXAHV_EVENT_SIGNAL 1
#define VEXAHV_EVENT_KEEPALIVE 2

#pragma pack(push, 1)
/* One record of a UDP event datagram (325 bytes). */
typedef struct {
  uint8_t type;
  char id[64];            /* "<system>.BoardNN.ChanNNN.<param>", "<system>.<property>", ... */
  uint8_t value[4];       /* numeric value, little-endian                                   */
  char text[256];         /* text value, NUL-terminated                                     */
} VEXAHVUdpEventRecord;

/* One record of a TCP event batch (1060 bytes). */
typedef struct {
  int32_t type;
  int32_t sequence;       /* per-connection record counter                                  */
  int32_t slot;           /* negative for a system property                                 */
  int32_t channel;        /* negative for a board or system parameter                       */
  char name[20];          /* parameter name, NUL-terminated                                 */
  union {
    uint8_t value[4];     /* numeric value, little-endian                                   */
    char text[1024];      /* text value, NUL-terminated                                     */
  } data;
} VEXAHVTcpEventRecord;

/* The mainframe's status sent with every TCP batch (68 bytes). */
typedef struct {
  char name[40];          /* the mainframe's own name                                       */
  uint32_t uptimeSeconds;
  uint32_t batchNumber;   /* counts batches on this connection, from 1                      */
  uint32_t subscriptions; /* parameters subscribed on this connection                       */
  uint32_t channelsOn;
  uint32_t channelsTripped;
  uint32_t alarm;         /* non-zero while a Kill or a trip is not cleared                 */
  uint32_t reserved;
} VEXAHVSystemStatus;
#pragma pack(pop)

/* Connection. */
VEXAHV_API int VEXAHV_InitSystem(int systemType, int linkType, const char* linkArg, const char* userName,
                      const char* password, int* handle);
VEXAHV_API int VEXAHV_DeinitSystem(int handle);

/* Crate map, one entry per slot (slots without a board: 0 channels, empty texts).
 * chansPerSlot, serials: library lists of uint16_t; models, descriptions: library lists
 * of NUL-ended texts back to back; fmwMinor, fmwMajor: library lists of bytes. */
VEXAHV_API int VEXAHV_GetCrateMap(int handle, uint16_t* nrOfSlots, uint16_t** chansPerSlot, char** models,
                       char** descriptions, uint16_t** serials, uint8_t** fmwMinor,
                       uint8_t** fmwMajor);

/* System properties. names: library list of NUL-ended texts back to back. value: for text
 * VEXAHV_SYSPROP_TEXT_SIZE bytes; for types 2, 4, 6 two bytes; for 1, 3, 5 four bytes. */
VEXAHV_API int VEXAHV_GetSysPropList(int handle, uint16_t* count, char** names);
VEXAHV_API int VEXAHV_GetSysPropInfo(int handle, const char* prop, unsigned* mode, unsigned* type);
VEXAHV_API int VEXAHV_GetSysProp(int handle, const char* prop, void* value);
VEXAHV_API int VEXAHV_SetSysProp(int handle, const char* prop, const void* value);

/* Parameter-name lists (library lists): VEXAHV_PARAM_NAME_SIZE-byte fields, each a
 * NUL-ended name, ended by a field whose first byte is 0.
 * Property values: "Type", "Mode" uint32; "Minval", "Maxval" float; "Unit", "Resol"
 * uint16; "Exp" int16; "Onstate", "Offstate" text of VEXAHV_PROP_TEXT_SIZE bytes. */
VEXAHV_API int VEXAHV_GetBdParamInfo(int handle, uint16_t slot, char** names);
VEXAHV_API int VEXAHV_GetBdParamProp(int handle, uint16_t slot, const char* param, const char* prop,
                          void* value);
VEXAHV_API int VEXAHV_GetBdParam(int handle, uint16_t nrOfSlots, const uint16_t* slotList,
                      const char* param, void* values);
VEXAHV_API int VEXAHV_SetBdParam(int handle, uint16_t nrOfSlots, const uint16_t* slotList,
                      const char* param, const void* value);

VEXAHV_API int VEXAHV_GetChParamInfo(int handle, uint16_t slot, uint16_t channel, char** names,
                          int* count);
VEXAHV_API int VEXAHV_GetChParamProp(int handle, uint16_t slot, uint16_t channel, const char* param,
                          const char* prop, void* value);
VEXAHV_API int VEXAHV_GetChParam(int handle, uint16_t slot, const char* param, uint16_t nrOfChannels,
                      const uint16_t* channelList, void* values);
VEXAHV_API int VEXAHV_SetChParam(int handle, uint16_t slot, const char* param, uint16_t nrOfChannels,
                      const uint16_t* channelList, const void* value);

/* names: nrOfChannels fields of VEXAHV_CH_NAME_SIZE bytes. A new name has at most 11
 * characters. */
VEXAHV_API int VEXAHV_GetChName(int handle, uint16_t slot, uint16_t nrOfChannels,
                     const uint16_t* channelList, char (*names)[VEXAHV_CH_NAME_SIZE]);
VEXAHV_API int VEXAHV_SetChName(int handle, uint16_t slot, uint16_t nrOfChannels,
                     const uint16_t* channelList, const char* name);

/* Commands: "Kill" (every channel off at once), "ClearAlarm" (clears trips and kills). */
VEXAHV_API int VEXAHV_ExecComm(int handle, const char* command);

/* UDP events. list: count names separated by ':'; results: count bytes, 0 accepted. The
 * mainframe sends to the calling host at port. */
VEXAHV_API int VEXAHV_Subscribe(int handle, uint16_t port, uint16_t count, const char* list, char* results);
VEXAHV_API int VEXAHV_UnSubscribe(int handle, uint16_t port, uint16_t count, const char* list,
                       char* results);

/* TCP events (system type 2): the mainframe connects from its own address to the calling
 * host at port and pushes batches there. list: count names separated by ':'; results:
 * count bytes, 0 accepted. */
VEXAHV_API int VEXAHV_SubscribeSystemParams(int handle, uint16_t port, const char* list, uint16_t count,
                                 char* results);
VEXAHV_API int VEXAHV_SubscribeBoardParams(int handle, uint16_t port, uint16_t slot, const char* list,
                                uint16_t count, char* results);
VEXAHV_API int VEXAHV_SubscribeChannelParams(int handle, uint16_t port, uint16_t slot, uint16_t channel,
                                  const char* list, uint16_t count, char* results);

/* Reads one batch from an accepted TCP event connection; blocks until it arrives. End of
 * stream, a shut-down socket or a damaged batch give a non-zero result and no list. */
VEXAHV_API int VEXAHV_GetEventData(int socket, VEXAHVSystemStatus* status, VEXAHVTcpEventRecord** events,
                        unsigned* count);
VEXAHV_API int VEXAHV_FreeEventData(VEXAHVTcpEventRecord** events);

/* Waits for one datagram on a bound UDP socket; a damaged datagram gives a non-zero result
 * and no list. A thread blocked here returns when the socket is shut down. */
VEXAHV_API int VEXAHVGetEventData(int socket, VEXAHVUdpEventRecord** events, unsigned* count);
VEXAHV_API int VEXAHVFreeEventData(VEXAHVUdpEventRecord** events);

VEXAHV_API const char* VEXAHVLibSwRel(void);

/* Releases a library list; null is allowed. */
VEXAHV_API int VEXAHV_Free(void* list);

/* Monitoring: what one handle's calls have cost since VEXAHV_InitSystem. Counted without a
 * lock on the calls' path; reading them sends nothing to the mainframe. latencyBuckets[i]
 * counts the calls that took at most VEXAHV_LATENCY_BOUNDS_MS[i] milliseconds and more
 * than the bound before; the last bucket holds the slower ones. failures[code] counts the
 * calls that ended with that VEXAHV_ERR_* code (a transport failure, or the mainframe's
 * refusal); codes beyond the array count in its last element. */
#define VEXAHV_LATENCY_BUCKETS 12
#define VEXAHV_LATENCY_BOUNDS_MS {1, 2, 5, 10, 20, 50, 100, 200, 500, 1000, 3000}
#define VEXAHV_FAILURE_CODES 32
typedef struct {
  uint64_t calls;
  uint64_t failures[VEXAHV_FAILURE_CODES];
  uint64_t latencyBuckets[VEXAHV_LATENCY_BUCKETS];
  uint64_t latencySumMicroseconds;
  uint64_t reconnections; /* streams opened again after a broken one */
} VEXAHVCallStatistics;
VEXAHV_API int VEXAHV_GetCallStatistics(int handle, VEXAHVCallStatistics* statistics);

#ifdef __cplusplus
}
#endif

#endif
