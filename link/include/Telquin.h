/* Telquin: the card-terminal link library.
 *
 * One call of ReqToCat_WS is one complete exchange with the terminal on a
 * serial port: open the port, send the framed request, wait for the
 * terminal's acknowledgement, wait for its answer, acknowledge the answer,
 * close the port and hand the answer back.
 *
 * Callers either link against the library or load it by file name and bind
 * the functions by their plain names (GetProcAddress / dlsym); the pointer
 * types below carry the right calling convention for the latter.
 */
#ifndef TELQUIN_H
#define TELQUIN_H

/* On 32-bit Windows the exports use the callee-cleans convention (except
 * ReqStop) and are exported without decoration. */
#if defined(_WIN32) && (defined(__i386__) || defined(_M_IX86))
#define TELQUIN_CALL __stdcall
#else
#define TELQUIN_CALL
#endif

#ifndef TELQUIN_EXPORT
#define TELQUIN_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Results of ReqToCat_WS and ReqToCat. */
enum {
  TELQUIN_OK = 1,              /* answer received; response filled          */
  TELQUIN_ANSWER_TIMEOUT = 0,  /* answer started but never completed        */
  TELQUIN_PORT_ERROR = -1,     /* port could not be opened (or bad request) */
  TELQUIN_BUSY = -2,           /* another exchange is running               */
  TELQUIN_NO_ACK = -3,         /* terminal did not acknowledge              */
  TELQUIN_CANCELLED = -4       /* terminal cancelled/refused, or no answer  */
};

/* Smallest response buffer a caller must provide. */
#define TELQUIN_RESPONSE_SIZE 3001

/* port: COM port number (1 = COM1). baud: bits per second, positive.
 * request: text for the terminal without framing, at most 1020 bytes; a text
 * starting with "***" is a raw command (at most 1024 bytes) sent as it is.
 * response: at least TELQUIN_RESPONSE_SIZE bytes; written only on result 1
 * with the answer frame from STX through ETX and a NUL.
 * ack_timeout: seconds to wait for the terminal's acknowledgement. */
TELQUIN_EXPORT int TELQUIN_CALL ReqToCat_WS(int port, int baud, const char* request,
                                            char* response, int ack_timeout);
/* As ReqToCat_WS with an ack time-out of 3 seconds. */
TELQUIN_EXPORT int TELQUIN_CALL ReqToCat(int port, int baud, const char* request,
                                         char* response);
/* Cancels the running exchange (EOT to the terminal, then the port is
 * closed); takes about one second. Always 1. Plain C convention. */
TELQUIN_EXPORT int ReqStop(void);

/* Writes the terminal's signature text as a 128 x 64 monochrome BMP file
 * (empty path: "Signdata.bmp"). 1 written, -2 invalid image data, -3 length
 * does not match the text, -5 file could not be created. */
TELQUIN_EXPORT int TELQUIN_CALL SetBmpFile(const char* sign_data, int sign_len,
                                           const char* path);
/* Standard base64 of `length` bytes into 4 * ceil(length / 3) characters;
 * no NUL is written. */
TELQUIN_EXPORT void TELQUIN_CALL base64e(const char* input, char* output, int length);
/* Decodes the NUL-terminated text, three bytes per group of four characters
 * (output needs 3 * ceil(strlen / 4) bytes); no NUL is written. Returns the
 * number of characters processed. */
TELQUIN_EXPORT int TELQUIN_CALL base64d(const char* input, char* output);

typedef int(TELQUIN_CALL* ReqToCat_WS_fn)(int, int, const char*, char*, int);
typedef int(TELQUIN_CALL* ReqToCat_fn)(int, int, const char*, char*);
typedef int (*ReqStop_fn)(void);
typedef int(TELQUIN_CALL* SetBmpFile_fn)(const char*, int, const char*);
typedef void(TELQUIN_CALL* base64e_fn)(const char*, char*, int);
typedef int(TELQUIN_CALL* base64d_fn)(const char*, char*);

#ifdef __cplusplus
}
#endif

#endif /* TELQUIN_H */
