/* OrvaPrintV105: a stand-in for the receipt-print component that the agent
 * loads by file name for its print command.
 *
 * It is NOT one of the two deliverables (the agent and the link library). It
 * exists so that the agent's print command can be exercised end to end on a
 * development machine: it sends the text to a receipt printer on a COM port
 * as one ESC/POS job.
 *
 * Callers load the library by file name and bind Orva_Print by its plain
 * name (GetProcAddress / dlsym); the pointer type below carries the right
 * calling convention for that.
 */
#ifndef ORVAPRINT_H
#define ORVAPRINT_H

/* On 32-bit Windows the export uses the callee-cleans convention and is
 * exported without decoration. */
#if defined(_WIN32) && (defined(__i386__) || defined(_M_IX86))
#define ORVAPRINT_CALL __stdcall
#else
#define ORVAPRINT_CALL
#endif

#ifndef ORVAPRINT_EXPORT
#define ORVAPRINT_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Results of Orva_Print. The failures lie outside the link library's results
 * (1, 0, -1 .. -4), so the result code of a failure reply tells which
 * component failed. */
enum {
  ORVAPRINT_OK = 1,              /* every byte of the job was written          */
  ORVAPRINT_PORT_ERROR = -11,    /* port could not be opened, or baud <= 0     */
  ORVAPRINT_WRITE_ERROR = -12,   /* the job was not written completely         */
  ORVAPRINT_BAD_ARGUMENTS = -13  /* NULL text with length > 0, length < 0, or
                                    a job larger than ORVAPRINT_MAX_JOB        */
};

/* The largest job Orva_Print sends, control bytes included, and so the
 * longest text it accepts (the job adds 8 bytes to the text). */
#define ORVAPRINT_MAX_JOB 65536
#define ORVAPRINT_JOB_OVERHEAD 8
#define ORVAPRINT_MAX_TEXT (ORVAPRINT_MAX_JOB - ORVAPRINT_JOB_OVERHEAD)

/* Prints `length` bytes of `text` on the receipt printer at COM port `port`
 * (1 = COM1), `baud` bits per second, 8N1.
 *
 * The port is opened as the link library opens it ("COM<n>" below 10,
 * "\\.\COM<n>" from 10 on) and closed again before the call returns. The job
 * goes out in one write:
 *   1B 40            ESC @, initialise the printer
 *   text             the `length` bytes as given (code page 949, not
 *                    converted; a NUL among them is sent like any byte)
 *   0A 0A 0A         three line feeds, to bring the text past the cutter
 *   1D 56 01         GS V 1, partial cut
 * The write must complete within the port's write time (1000 ms); a slow
 * line with a long text gives ORVAPRINT_WRITE_ERROR.
 *
 * The arguments are checked before the port is touched: a call with invalid
 * arguments gives ORVAPRINT_BAD_ARGUMENTS and sends nothing, whatever the
 * port and baud rate. `text` may be NULL when `length` is 0 (an empty job:
 * initialise, feed, cut). Nothing is logged. */
ORVAPRINT_EXPORT int ORVAPRINT_CALL Orva_Print(int port, int baud, const char* text,
                                               int length);

typedef int(ORVAPRINT_CALL* Orva_Print_fn)(int, int, const char*, int);

#ifdef __cplusplus
}
#endif

#endif /* ORVAPRINT_H */
