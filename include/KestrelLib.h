/*
 * KestrelLib: host library for the Kestrel clock-source board.
 *
 * A host creates an instance, connects it to a board by its IPv4 address
 * (TCP port 6653), then generates clocks, sets powers and modulations and
 * reads the board back. Every function returns a status code (below) unless
 * noted. An instance serves one thread at a time; separate instances are
 * independent and may be used from separate threads.
 *
 * Time limits: connecting gives up after 3 s; a board that does not answer a
 * command within 2 s fails that call with status 1, and the connection is then
 * dropped (later calls fail at once with 1) until vxclk_connect is called again.
 * A call during which any exchange with the board failed (a reset, a close, a
 * time-out, in any of its steps) never returns 0. Each limit is one deadline:
 * signals never restart or stretch it.
 *
 * Answers: at connect the library learns the board's answer shape (answer
 * length, opcode echo, write echo) from two reads of the board ID and two
 * writes of the memory pointer, register 10. From then on it waits for whole
 * answers and fails an exchange (status 1) whose answer departs from the shape,
 * so a late byte or stray bytes are never taken for an answer. It cannot tell
 * stray bytes that mimic a whole answer, nor stray bytes before a memory block
 * answer, which carries no framing.
 *
 * A fresh instance, and every instance after vxclk_connect, keeps the board's
 * clock: before its first synthesizer upload it plans from the clock, loop
 * option and Tx1 power the board stores. Values that setters skip when
 * unchanged (FM skew, RJ and BUJ amplitudes, ...) are unknown until the first
 * request after a connect, which is always written.
 *
 * Environment, read when an instance is created (an invalid value is ignored
 * with one line on standard error):
 *   KESTREL_PORT                 the board's TCP port (default 6653)
 *   KESTREL_CONNECT_TIMEOUT_MS   connect time limit (default 3000)
 *   KESTREL_EXCHANGE_TIMEOUT_MS  time limit of one command and its answer (default 2000)
 *   KESTREL_TRACE                1: log every exchange on stderr; a path: append to that file
 *   KESTREL_PIPELINE             0: one frame at a time (default: register writes go out
 *                                ahead of earlier answers with a board that takes it)
 */
#ifndef KESTRELLIB_H
#define KESTRELLIB_H

#include <stdbool.h>
#include <stdint.h>

#if defined(_WIN32)
#  if defined(KESTREL_BUILDING_LIBRARY)
#    define KESTREL_API __declspec(dllexport)
#  else
#    define KESTREL_API __declspec(dllimport)
#  endif
#elif defined(__GNUC__)
#  define KESTREL_API __attribute__((visibility("default")))
#else
#  define KESTREL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Status codes ------------------------------------------------------- */
enum {
  VXCLK_OK = 0,                   /* success */
  VXCLK_FAILED = 1,               /* the operation failed (board did not answer, write failed, ...) */
  VXCLK_NOT_CONNECTED = 2,        /* the instance is not connected */
  VXCLK_OUT_OF_RANGE = 3,         /* an argument is out of range (or a null pointer) */
  VXCLK_INVALID_INSTANCE = 4,     /* the instance pointer is null */
  VXCLK_CALIBRATION_SELECTED = 5  /* custom FM frequency refused: a calibration source is selected */
};

/* One sentence for a status code, for messages and logs (a static string; never
 * null). Header-only: the library's exports stay exactly the 43 vxclk_ functions. */
static inline const char* vxclk_statusText(int32_t status) {
  switch (status) {
    case VXCLK_OK: return "Success.";
    case VXCLK_FAILED: return "The operation failed: the board did not answer, did not take a write, or refused the request.";
    case VXCLK_NOT_CONNECTED: return "The board is not connected.";
    case VXCLK_OUT_OF_RANGE: return "An argument is out of range or a required pointer is null.";
    case VXCLK_INVALID_INSTANCE: return "The instance pointer is null.";
    case VXCLK_CALIBRATION_SELECTED: return "A custom FM rate is refused while a calibration source is selected.";
    default: return "Unknown status code.";
  }
}

/* Time limits of the board link, in milliseconds. */
#define VXCLK_CONNECT_TIMEOUT_MS 3000
#define VXCLK_EXCHANGE_TIMEOUT_MS 2000

/* Calibration sources for vxclk_initializeInstance. */
enum {
  VXCLK_CALIBRATION_NONE = 0,
  VXCLK_CALIBRATION_BOARD = 1,
  VXCLK_CALIBRATION_FILE = 2
};

/*
 * The board's stored configuration, as vxclk_getActiveConfig reads it back.
 * Fixed layout: 128 bytes, natural alignment, booleans one byte (0 or 1).
 */
typedef struct ActiveConfig {
  int32_t clockSource;              /* offset 0 */
  int32_t register261;              /* 4 */
  int32_t generateOption;           /* 8 */
  double generateFrequency;         /* 16, MHz */
  bool fmEnable;                    /* 24 */
  int32_t fmFrequency;              /* 28, Hz */
  int32_t fmAmplitude;              /* 32 */
  int32_t fmPhaseSkew;              /* 36 */
  int32_t fmRJAmplitude;            /* 40 */
  bool tx2PMEnable;                 /* 44 */
  int32_t tx2PMFrequency;           /* 48, Hz */
  int32_t tx2PMAmplitude;           /* 52 */
  int32_t tx2PMPhaseShiftAmplitude; /* 56 */
  bool tx2PMRJEnable;               /* 60 */
  int32_t tx2PMRJAmplitude;         /* 64 */
  bool tx2PMBUJEnable;              /* 68 */
  int32_t tx2PMBUJAmplitude;        /* 72 */
  int32_t tx2PMBUJLineRate;         /* 76 */
  bool tx2AMEnable;                 /* 80 */
  int32_t tx2AMAmplitude;           /* 84 */
  int32_t tx2AMRJAmplitude;         /* 88 */
  int32_t tx2BUJAmplitude;          /* 92 */
  int32_t tx2BUJPRBS;               /* 96 */
  bool tx2BUJPRBSFlag;              /* 100 */
  double referenceFrequency;        /* 104, MHz */
  int32_t tx2Divider;               /* 112 */
  int32_t tx1Power;                 /* 116 */
  int32_t tx2Power;                 /* 120 */
} ActiveConfig;

/* ---- Instance, connection, identity --------------------------------------- */

/* Fills version[0..2] with 2, 2, 1 and returns version (null: returns null). */
KESTREL_API int32_t* vxclk_APIVersion(int32_t* version);

/* A new, unconnected instance, or null when memory is exhausted. */
KESTREL_API void* vxclk_createInstance(void);

/* Frees the instance (null: nothing). Disconnect first; a socket still open is closed. */
KESTREL_API void vxclk_destroyInstance(void* instance);

/* Connects to the board at a dotted IPv4 address and reads its calibration rows.
 * 0 connected; 2 the board could not be reached, the address is not dotted IPv4,
 * or the calibration read broke the connection (the instance stays as it was);
 * 3 null address; 4 null instance. */
KESTREL_API int32_t vxclk_connect(void* instance, const char* address);

/* Closes the connection. 0 closed; 2 there was nothing to close; 4 null instance. */
KESTREL_API int32_t vxclk_disconnect(void* instance);

/* Board ID (register 20). 0 ok; 1 null pointer or the read failed (value untouched);
 * 2 not connected; 4 null instance. */
KESTREL_API int32_t vxclk_getBoardID(void* instance, int32_t* boardID);

/* 64-bit serial number (registers 21-25), or the 32-bit one sign-extended when the
 * long form is not valid. 0 ok; 1 a read failed (value untouched); 2; 3 null pointer; 4. */
KESTREL_API int32_t vxclk_getSerialNumber(void* instance, uint64_t* serialNumber);

/* VCO lock value (register 1047). 0 ok; 1 the read failed; 2; 3 null pointer; 4. */
KESTREL_API int32_t vxclk_checkVCOLock(void* instance, int32_t* lock);

/* VCO tuning voltage in volts (register 1048 / 1000). 0 ok; 1 read failed; 2; 3 null; 4. */
KESTREL_API int32_t vxclk_checkVCOVoltage(void* instance, double* voltage);

/* Raw register access: write != 0 writes *value to (page, reg), else reads into *value.
 * 0 ok; 1 the exchange failed; 2; 3 null value pointer, page above 15 or register
 * above 2047 (nothing sent); 4. */
KESTREL_API int32_t vxclk_setClock(void* instance, uint8_t write, uint16_t page, uint16_t reg, uint16_t* value);

/* ---- Board memory ----------------------------------------------------------- */

/* Raw temperature reading of sensor 0 or 1 (register 16 on that page); needs no
 * connection test. 0 ok; 1 the read failed or the reading is 0; 3 bad sensor or
 * null pointer; 4. */
KESTREL_API int32_t vxclk_getTemperature(void* instance, int32_t sensor, int32_t* temperature);

/* Reads the double stored at a board memory address (8 bytes, at most 65528).
 * 0 ok; 1 a read failed (value untouched); 2; 3 bad address or null; 4. */
KESTREL_API int32_t vxclk_getEEPROMAddress(void* instance, uint32_t address, double* value);

/* Stores a double at a board memory address (8 bytes, at most 65528).
 * 0 ok; 1 a write failed; 2; 3 bad address or null; 4. */
KESTREL_API int32_t vxclk_writeEEPROMAddress(void* instance, uint32_t address, const double* value);

/* Stores the calibration tag and one calibration row (c4, c3, c2, c1, c0, min, max)
 * in board memory; it takes effect at the next connect. 0 ok; 1 a write failed;
 * 2; 3 row above 13 or null values; 4. */
KESTREL_API int32_t vxclk_saveFMCalibrationValues(void* instance, double tag, uint16_t row, const double* values);

/* ---- FM modulation ----------------------------------------------------------- */

/* FM on (1) or off (0). 0 ok; 1 write failed; 2; 4. */
KESTREL_API int32_t vxclk_enableFM(void* instance, int32_t on);
/* FM rate from the table 0..11 (0.04, 0.1, 0.5, 1, 1.3, 2, 2.5, 3, 3.5, 4, 10, 50 MHz).
 * 0 ok; 1 write failed; 2; 3 index above 11; 4. */
KESTREL_API int32_t vxclk_setFMFrequency(void* instance, int32_t index);
/* Custom FM rate, 0.04..50 MHz. 0 ok; 1; 2; 3 out of range or NaN; 4;
 * 5 refused because a calibration source is selected. */
KESTREL_API int32_t vxclk_setCustomFMFrequency(void* instance, double frequencyMHz);
/* FM amplitude (through the selected rate's calibration when a source is selected;
 * the calibrated value is truncated toward zero and clamped to 0..65535).
 * 0 ok; 1 write failed; 2; 4. */
KESTREL_API int32_t vxclk_setFMAmplitude(void* instance, int32_t amplitude);
/* FM phase skew. 0 ok (also: unchanged); 1; 2; 4. */
KESTREL_API int32_t vxclk_setFMPhaseSkew(void* instance, int32_t skew);
/* FM random-jitter amplitude. 0 ok (also: unchanged); 1; 2; 4. */
KESTREL_API int32_t vxclk_setFMRJAmplitude(void* instance, int32_t amplitude);

/* ---- Tx2 modulation, jitter, clock source --------------------------------------
 * All: 0 ok (or nothing to do); 1 a register write failed, or the control needs its
 * enable set to 1 first; 2 not connected; 4 null instance. */
KESTREL_API int32_t vxclk_enableTx2PM(void* instance, int32_t on);
/* 0..80 MHz, else 3 (NaN too). */
KESTREL_API int32_t vxclk_setTx2PMFrequency(void* instance, double frequencyMHz);
KESTREL_API int32_t vxclk_setTx2PMAmplitude(void* instance, int32_t amplitude);
KESTREL_API int32_t vxclk_setTx2PMPhaseShiftAmplitude(void* instance, int32_t amplitude);
KESTREL_API int32_t vxclk_enableTx2PMRJ(void* instance, int32_t on);
KESTREL_API int32_t vxclk_setTx2PMRJAmplitude(void* instance, int32_t amplitude);
KESTREL_API int32_t vxclk_enableTx2PMBUJ(void* instance, int32_t on);
KESTREL_API int32_t vxclk_setTx2PMBUJAmplitude(void* instance, int32_t amplitude);
KESTREL_API int32_t vxclk_setTx2PMBUJLineRate(void* instance, int32_t rate);
KESTREL_API int32_t vxclk_setTx2BUJAmplitude(void* instance, int32_t amplitude);
KESTREL_API int32_t vxclk_setTx2BUJPRBS(void* instance, int32_t prbs, int32_t flag);
KESTREL_API int32_t vxclk_setTx2BUJUserDefinedPattern(void* instance, uint32_t pattern);
KESTREL_API int32_t vxclk_enableTx2AM(void* instance, int32_t on);
KESTREL_API int32_t vxclk_setTx2AMAmplitude(void* instance, int32_t amplitude);
KESTREL_API int32_t vxclk_setTx2AMRJAmplitude(void* instance, int32_t amplitude);
KESTREL_API int32_t vxclk_setClockSource(void* instance, int32_t source);

/* ---- Clock and outputs -------------------------------------------------------- */

/* Generates a clock strictly between 20 and 5500 MHz on both outputs. The option
 * argument has no effect: the board's loop profile 19 always applies.
 * 0 ok; 1 the board did not take the upload; 2; 3 out of range or NaN; 4. */
KESTREL_API int32_t vxclk_generateClock(void* instance, double frequencyMHz, int32_t option);
/* Tx1 power (low five bits reach the synthesizer). 0 ok; 1 upload failed; 2; 4. */
KESTREL_API int32_t vxclk_setTx1Power(void* instance, int32_t power);
/* Tx2 power (register 1035 = 4096 - power). 0 ok; 1 write failed; 2; 4. */
KESTREL_API int32_t vxclk_setTx2Power(void* instance, int32_t power);
/* Tx2 divider selection n (register 257 = 1 << n). 0 ok; 1 write failed; 2; 4. */
KESTREL_API int32_t vxclk_setTx2Divider(void* instance, int32_t divider);

/* ---- Configuration and calibration ----------------------------------------------- */

/* Reads back the configuration stored on the board (takes about 3 s).
 * 0 ok; 1 a read failed (record untouched); 2; 3 null record; 4. */
KESTREL_API int32_t vxclk_getActiveConfig(void* instance, ActiveConfig* config);

/* Chooses the calibration source: 0 none, 1 the board's rows, 2 a text file at path
 * (a regular file, one number per line with a full stop as the decimal point in
 * every locale, up to 98). 0 ok; 1 the file is not a regular file, could not be
 * read, kept changing while read, holds no number, a bad line (not a finite
 * number) or a line over 4 KiB, or the board's rows could not be read at connect
 * (nothing changed); 2; 4. */
KESTREL_API int32_t vxclk_initializeInstance(void* instance, int32_t source, const char* path);

/* Minimum and maximum of calibration row 0..13 in force. 0 ok; 2; 3 bad row or null; 4. */
KESTREL_API int32_t vxclk_getMinMaxCalibration(void* instance, int32_t row, double* minimum, double* maximum);

#ifdef __cplusplus
}
#endif

#endif /* KESTRELLIB_H */
