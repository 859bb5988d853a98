/* Streams: byte pipes behind a table of procedures (get a byte, put a byte, write a block,
 * delete, and for some kinds wait for a byte), with a push-back ring so a read that comes up
 * short loses nothing. Concrete kinds: file input and output, serial port, TCP socket and
 * USB. */
#ifndef CORVANE_ASTREAM_H
#define CORVANE_ASTREAM_H

#include "aDefs.h"
#include "aError.h"

CORVANE_EXTERN_C_BEGIN

/* Check word of a live stream. */
#define aSTREAM_CHECK 0x4321

typedef struct aStream aStream;

/* The procedures of a concrete stream; each receives the reference given at creation.
 * get:    one byte into *byte. aErrNone with a byte; aErrNotReady when none is there yet (the
 *         caller polls again); aErrEOF at the end of a finite stream; any other aErr on failure.
 * put:    writes one byte.
 * write:  writes count bytes as one block; aErrNone only when all of them went out.
 * delete: releases the concrete stream and its reference; called once, by aStream_Destroy.
 * Any of them may be null. A link reads a stream on one thread while it writes it on another,
 * so get must share nothing with put and write except the underlying handle. */
typedef aErr (*aStreamGetProc)(uint8_t* byte, void* reference);
typedef aErr (*aStreamPutProc)(uint8_t byte, void* reference);
typedef aErr (*aStreamWriteProc)(const uint8_t* bytes, size_t count, void* reference);
typedef aErr (*aStreamDeleteProc)(void* reference);

/* A new stream over the procedures, with an empty push-back ring; null when memory runs out. */
CORVANE_API aStream* aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                                    aStreamDeleteProc del, void* reference);

/* Calls the delete procedure, frees the stream and sets *stream to null (in every case when
 * stream is not null). Returns the delete procedure's result, aErrNone without one, aErrParam
 * for a null or invalid stream. No other thread may use the stream meanwhile. */
CORVANE_API aErr aStream_Destroy(aStream** stream);

/* Reads exactly count bytes: pushed-back bytes first, then the get procedure. All or nothing
 * on aErrNotReady: the bytes read so far are pushed back. With aErrEOF the bytes read before
 * the end (maybe fewer than count) are in buffer. aErrParam for an invalid stream or a null
 * buffer; aErrMode without a get procedure; aErrResource when memory runs out; any other error
 * of the get procedure is returned (bytes read before it are then lost). */
CORVANE_API aErr aStream_Read(aStream* stream, uint8_t* buffer, size_t count);

/* Waits at most timeoutMs (0: only looks) until a read has something to answer: a byte is
 * there (pushed back or received), or the stream has an end or a failure to report. Meant for
 * the thread that reads the stream, in place of reading again and again while it answers
 * aErrNotReady. aErrNone when a read may go ahead; aErrNotReady when the time ran out;
 * aErrUnimplemented when this kind of stream cannot wait (USB streams, whose reads wait on
 * their own, and streams made with aStream_Create): just read; aErrParam for an invalid
 * stream; aErrMode without a get procedure; aErrIO when waiting failed. A socket whose peer
 * closed, or a serial line that hung up, looks ready while its reads find nothing; after such
 * a read the next wait sleeps out its time-out instead, so a loop of waits and reads never
 * spins. */
CORVANE_API aErr aStream_Wait(aStream* stream, uint32_t timeoutMs);

/* Writes count bytes: one call of the write procedure when there is one and count is above 1,
 * else one put per byte, stopping at the first error. aErrParam for an invalid stream or null
 * bytes; aErrMode without put and write procedures. */
CORVANE_API aErr aStream_Write(aStream* stream, const uint8_t* bytes, size_t count);

/* Reads a record into buffer (size bytes) up to the terminator, which is consumed but not
 * stored; *length receives the number of bytes stored. A record that fills size bytes ends
 * there without its terminator. At the end of the stream a non-empty record is aErrNone, an
 * empty one aErrEOF. aErrNotReady pushes back what was read. A multi-byte terminator must
 * match in full; bytes that matched only in part are stored as record bytes.
 * aErrParam for an invalid stream, null buffer, length or terminator, or terminatorLength 0;
 * aErrResource when memory runs out. */
CORVANE_API aErr aStream_ReadRecord(aStream* stream, uint8_t* buffer, size_t* length, size_t size,
                                    const uint8_t* terminator, size_t terminatorLength);

/* Writes count bytes of record, then the terminator. aErrParam for null record or terminator
 * or terminatorLength 0. */
CORVANE_API aErr aStream_WriteRecord(aStream* stream, const uint8_t* record, size_t count,
                                     const uint8_t* terminator, size_t terminatorLength);

/* Reads text up to a zero byte into buffer (at most size - 1 characters) and terminates it.
 * aErrParam for a null buffer or size 0; other results as aStream_ReadRecord. */
CORVANE_API aErr aStream_ReadCString(aStream* stream, char* buffer, size_t size);

/* Writes the text and its terminating zero. aErrParam for null text. */
CORVANE_API aErr aStream_WriteCString(aStream* stream, const char* text);

/* Reads text up to the terminator text (its characters without the zero) into buffer (at most
 * size - 1 characters) and terminates it. aErrParam for null or empty terminator, null buffer
 * or size 0. */
CORVANE_API aErr aStream_ReadCStringRecord(aStream* stream, char* buffer, size_t size,
                                           const char* terminator);

/* Writes the text without its zero, then the terminator text with its zero. */
CORVANE_API aErr aStream_WriteCStringRecord(aStream* stream, const char* text,
                                            const char* terminator);

/* Copies input to output one byte at a time until the input reports an error. The input's
 * aErrEOF ends the copy with aErrNone; another input error, or the first output error, is
 * returned (aErrNotReady included: a live input that has nothing yet ends the copy, and the
 * caller may call again). aErrParam for an invalid stream; aErrMode when the
 * input has no get or the output no put procedure. */
CORVANE_API aErr aStream_Flush(aStream* input, aStream* output);

/* ---- Concrete streams. Each returns the stream in *stream, null on failure. ---- */

/* Reads the file at path one byte per get (aErrEOF at its end, aErrRead on a failed read);
 * aStream_Wait answers aErrNone at once.
 * aErrResource when an argument is null, the file cannot be opened or memory runs out. */
CORVANE_API aErr aStream_CreateFileInput(const char* path, aStream** stream);

/* Creates or truncates the file at path (at most aFILE_MAXPATH characters) for writing; put
 * writes one byte, write the whole block in one system write (aErrWrite on failure). Every
 * write reaches the file before it returns. aErrResource when an argument is null, the file
 * cannot be created or memory runs out. */
CORVANE_API aErr aStream_CreateFileOutput(const char* path, aStream** stream);

/* Baud indexes of aStream_CreateSerial: 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400. */
#define aSTREAM_SERIAL_BAUD_COUNT 8

/* Opens a serial port for exclusive, non-blocking use. portName is a device path, or a name
 * without "/" taken under /dev ("ttyUSB0" is "/dev/ttyUSB0"). baudIndex 0 to 7 (above);
 * parity non-zero for odd parity, 0 for none; dataBits 0 for 8 and 1 for 7; stopBits 0 for one
 * and 1 for two. The port's settings are restored when the stream is destroyed. get answers
 * aErrNotReady at once when no byte is there (aStream_Wait waits for one); put and write
 * return when all bytes were handed to the port (aErrIO when that fails or takes longer than
 * the line needs plus a margin).
 *   aErrParam null portName or stream; aErrRange bad baudIndex; aErrMode bad dataBits or
 *   stopBits; aErrMemory no memory; aErrIO the port cannot be opened or configured (another
 *   program holding it included); aErrResource the stream cannot be created. */
CORVANE_API aErr aStream_CreateSerial(const char* portName, uint32_t baudIndex, uint32_t parity,
                                      uint32_t dataBits, uint32_t stopBits, aStream** stream);

/* The line rate in bits per second of a baud index of aStream_CreateSerial; 0 above index 7. */
CORVANE_API uint32_t aStream_SerialBaudRate(uint32_t baudIndex);

/* The device aStream_CreateSerial opens for portName, zero-terminated into path (size bytes):
 * portName itself when it holds a "/", else portName under /dev. aErrParam for a null portName
 * or path or a size of 0; aErrSize when the device path and its zero do not fit (path is then
 * the empty text); aErrMemory when memory runs out. */
CORVANE_API aErr aStream_SerialDevicePath(const char* portName, char* path, size_t size);

/* Why aStream_CreateSerial cannot open portName now, in words for the user that name the device:
 * it does not exist, another program holds it, it is not a serial device, or this user may not
 * open it (the words then name the group whose members may, and how to join it). The empty text
 * when the port can be opened. It opens and closes the port to find out, so it is meant for after
 * a failed aStream_CreateSerial. The text is zero-terminated into text (size bytes) and cut to
 * fit. aErrParam for a null portName or text or a size of 0; aErrMemory when memory runs out. */
CORVANE_API aErr aStream_DescribeSerialFailure(const char* portName, char* text, size_t size);

/* Connects over TCP to address (IPv4, network byte order) and port (host order). The socket is
 * non-blocking with no-delay on and closes with a reset. get answers aErrNotReady when no byte
 * is there (aStream_Wait waits for one), aErrConnection while not connected; a reset
 * connection is re-established once per get. write sends every byte, pausing 60 ms when the
 * socket cannot take more, at most 10 pauses per write (then aErrIO). aErrParam for a null
 * stream pointer; aErrResource when the connection cannot be made or memory runs out. */
CORVANE_API aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStream** stream);

/* Opens the module with this serial number over USB: the first present device of the family's
 * vendor id (CORVANE_USB_VENDOR_ID in the environment, hex, overrides the built-in one) whose
 * serial string names that number the way discovery reads it (up to eight hexadecimal digits,
 * or "RFICB" and decimal digits followed by ".A"), on its interface of class 0xFF, subclass
 * 0x88, protocol 0x10, through its bulk IN and OUT endpoints. get waits up to 1000 ms for a
 * transfer (aErrNotReady when none came); write splits the block into transfers of at most the
 * OUT packet size and never 512 bytes, repeating a failed or short transfer (only its unsent
 * bytes) up to 10 times per write (then aErrWrite); a transfer waits at most 5 s. Virtual
 * modules listed in CORVANE_USB_EMULATION (see the README) count as present while they run.
 *   aErrParam null stream pointer; aErrMemory no memory; aErrNotFound no such module;
 *   aErrBusy the module is claimed by another program; aErrPermission the device cannot be
 *   opened by this user (see the udev rule); aErrInitialization no usable interface or
 *   endpoints; aErrIO any other USB failure. */
CORVANE_API aErr aStream_CreateUSB(uint32_t serialNumber, aStream** stream);

CORVANE_EXTERN_C_END

#endif
