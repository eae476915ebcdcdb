/* How a card driver answers the program's request block. Plain C with no
 * kernel or Win32 headers, so the same code runs inside the Wine test card
 * driver and in the simulated machine's card driver, and both answer alike.
 *
 * The card's side of the wire is written down here on its own, not taken
 * from the program's driver/protocol.h, so a wrong number there shows up as
 * a card that refuses the program; a host test checks that the two agree.
 *
 * Wire format: control code 0x00170002, a 4-byte input 0xFF020401 and an
 * output buffer of 8204 bytes holding the request block {u32 context,
 * u16 status, u16 command, u16 record length, u16 record type, 8192 data
 * bytes}, little-endian; the reply is written into the same bytes. */
#ifndef TESTDRIVER_CARD_MODEL_H
#define TESTDRIVER_CARD_MODEL_H

#include <stddef.h>
#include <stdint.h>

#define CARD_CONTROL_CODE 0x00170002u
#define CARD_INPUT_VALUE 0xFF020401u
#define CARD_INPUT_SIZE 4u

#define CARD_CONTEXT_OFFSET 0u
#define CARD_STATUS_OFFSET 4u
#define CARD_COMMAND_OFFSET 6u
#define CARD_RECORD_OFFSET 8u
#define CARD_RECORD_TYPE_OFFSET 10u
#define CARD_RECORD_DATA_OFFSET 12u
#define CARD_BLOCK_SIZE 8204u
#define CARD_MAX_RECORD_LENGTH 4097u
/* The largest record, its length word included, fills the block from the
 * record offset to the last byte. */
#define CARD_MAX_RECORD_WORDS 4098u

#define CARD_COMMAND_PROBE 0u
#define CARD_COMMAND_CLOSE 1u
#define CARD_COMMAND_CONTROL 2u
#define CARD_COMMAND_GET 4u
#define CARD_COMMAND_PUT 5u

#define CARD_IDENTITY_TYPE 0x0826u
#define CARD_COMPATIBILITY_TYPE 0x0827u
#define CARD_KEY_TEXT_TYPE 0x0900u
/* The lengths the program asks and sends these records with. */
#define CARD_IDENTITY_LENGTH 5u
#define CARD_COMPATIBILITY_LENGTH 6u
#define CARD_KEY_TEXT_LENGTH 52u
/* A control request carries the largest length; a close carries 0 and 0. */
#define CARD_CONTROL_LENGTH CARD_MAX_RECORD_LENGTH

#define CARD_STATUS_SUCCESS 0u
#define CARD_STATUS_PARTIAL 8u /* get: the reply record is valid all the same */
#define CARD_STATUS_BUSY 68u
/* Any request but the probe that lacks the context of its handle's probe. */
#define CARD_STATUS_UNKNOWN_CONTEXT 67u
/* A get of an unknown record type, or an unknown command. */
#define CARD_STATUS_UNKNOWN_REQUEST 255u

/* Win32 errors a refused device call gives. */
#define CARD_ERROR_INVALID_FUNCTION 1u
#define CARD_ERROR_INVALID_PARAMETER 87u
#define CARD_ERROR_INSUFFICIENT_BUFFER 122u

/* The kinds of request, for per-kind failures. */
enum card_kind {
    CARD_KIND_PROBE = 0,
    CARD_KIND_GET,
    CARD_KIND_PUT,
    CARD_KIND_CONTROL,
    CARD_KIND_CLOSE,
    CARD_KINDS,
    CARD_KIND_NONE = CARD_KINDS /* an unknown command */
};

/* Requests the card takes without writing a status (card_settings.silent). */
#define CARD_SILENT_PROBE 0x01u
#define CARD_SILENT_IDENTITY 0x02u
#define CARD_SILENT_COMPATIBILITY 0x04u
#define CARD_SILENT_KEY_TEXT 0x08u
#define CARD_SILENT_PUT 0x10u
#define CARD_SILENT_CONTROL 0x20u
#define CARD_SILENT_CLOSE 0x40u

/* What one card answers. The defaults (card_default_settings) are a ready
 * card of variant 1, version 6.14, whose firmware suits the program. The
 * fields are those of the settings in card_setting_table, and `silent`, which
 * the status settings share, and kind_calls. */
struct card_settings {
    /* The probe answers busy this many times (counted down), then with
     * probe_status, and with status 0 also gives the context value. */
    uint32_t busy;
    uint16_t probe_status;
    uint32_t context;
    /* Records a get returns: every word, the length word first, written
     * from the record offset as they stand, so a short list is a short
     * reply and the length word need not match what follows. */
    uint16_t identity[CARD_MAX_RECORD_WORDS];
    uint32_t identity_words;
    uint16_t compatibility[CARD_MAX_RECORD_WORDS];
    uint32_t compatibility_words;
    uint16_t identity_status;
    uint16_t compatibility_status;
    uint16_t key_text_status; /* put of a key text record */
    uint16_t put_status;      /* put of any other record */
    uint16_t control_status;
    uint16_t close_status;
    /* CARD_SILENT_* bits: those requests are taken but their status is left
     * as it was sent (a silent probe gives no context either). */
    uint32_t silent;
    /* Win32 errors with which opening the device, or every device call on
     * it, fails; 0 lets them through. */
    uint32_t open_error;
    uint32_t call_error;
    /* Per kind of request: the Win32 error its calls fail with (0: none),
     * and which call of that kind fails, counted from 1 (0: every one). */
    uint32_t kind_error[CARD_KINDS];
    uint32_t kind_attempt[CARD_KINDS];
    /* Calls of each kind so far; card_call counts them. */
    uint32_t kind_calls[CARD_KINDS];
};

/* How a setting is written and what its fields hold. */
enum card_setting_kind {
    CARD_SETTING_COUNT,   /* uint32_t, 0 to 0x7FFFFFFF */
    CARD_SETTING_STATUS,  /* uint16_t; or "silent": its bit in card_settings.silent */
    CARD_SETTING_CONTEXT, /* uint32_t, written in hexadecimal */
    CARD_SETTING_ERROR,   /* uint32_t, a Win32 error or 0 */
    CARD_SETTING_RECORD,  /* uint16_t[CARD_MAX_RECORD_WORDS]; the uint32_t word count */
    CARD_SETTING_FAILURE  /* uint32_t error, 0 for none; the uint32_t attempt, 0 for every one */
};

/* One setting of a card, under the name that the machine file's device
 * sections and the test card driver's registry key give it. */
struct card_setting {
    const char* name;
    enum card_setting_kind kind;
    uint32_t silent; /* a status: its CARD_SILENT_* bit */
    size_t field;    /* the offset of its field in struct card_settings */
    size_t second;   /* a record: of its word count; a failure: of its attempt */
};

/* Every setting, in the order a machine file is saved in: the simulated
 * machine loads and saves them, the test card driver reads and writes them,
 * and tests/e2e/wine_driver.py reads this table in card_model.c for the
 * Wine scenarios. */
extern const struct card_setting card_setting_table[];
extern const uint32_t card_setting_count;

/* What a handle remembers between calls. */
struct card_session {
    int probed; /* a probe on it gave the context; a close ends it */
    /* A sum of the data area as the last reply on this handle left it, and
     * whether there is one (not after a probe, whose block is another). */
    int data_known;
    uint32_t data_sum;
};

/* What a request was, for the card's record of what it received. */
enum card_event {
    CARD_EVENT_NONE = 0,
    CARD_EVENT_PROBE,
    CARD_EVENT_CLOSE,
    CARD_EVENT_CONTROL,  /* sub_code holds the sub-code */
    CARD_EVENT_KEY_TEXT, /* words/word_count: the record as received */
    CARD_EVENT_PUT,      /* the same, for any other record type */
    CARD_EVENT_GET,      /* words/word_count: the length and type asked */
};

/* What was wrong with a call (card_received.wrong); a correct program never
 * makes one of these. */
#define CARD_WRONG_CODE 0x01u        /* another control code: refused */
#define CARD_WRONG_INPUT 0x02u       /* not the 4-byte input value: refused */
#define CARD_WRONG_OUTPUT_SIZE 0x04u /* an output size other than 8204 */
#define CARD_WRONG_LENGTH 0x08u      /* close not 0, control not 4097, any over 4097 */
#define CARD_WRONG_TYPE 0x10u        /* close not 0 */
#define CARD_WRONG_DATA 0x20u        /* get, control, close: data area written */
#define CARD_WRONG_SUB_CODE 0x40u    /* control: not 4, 6, 11, 12 or 128 */

struct card_received {
    enum card_event event;
    uint16_t sub_code;
    /* Points into the block: the length word, the type word and the data
     * words the length announces, as far as the block reaches. */
    const uint8_t* words;
    uint32_t word_count;
    /* CARD_WRONG_* bits, and what the call carried for the description. */
    uint32_t wrong;
    enum card_kind kind;
    uint32_t code;
    uint32_t input_size;
    uint32_t input_value; /* 0 when there is no 4-byte input */
    uint32_t output_size;
    uint16_t length;
    uint16_t type;
    /* A get's length and type words as asked, before the reply overwrote
     * them; `words` points here for CARD_EVENT_GET. */
    uint8_t asked[4];
};

void card_default_settings(struct card_settings* s);

/* One device call on a handle whose state is `session`: checks it, answers
 * the request in `block` (output_size bytes; null when there is none) and
 * says in `received` what it was and what was wrong with it. Returns the
 * Win32 error the call fails with, or 0 when it went through. */
uint32_t card_call(struct card_settings* s, struct card_session* session, uint32_t code,
                   const uint8_t* input, uint32_t input_size, uint8_t* block, uint32_t output_size,
                   struct card_received* received);

/* One line that says what was wrong with a call (received->wrong is not 0),
 * such as "close length 5, type 0x0826", into `out` of `size` characters,
 * zero-terminated. Returns its length. */
uint32_t card_describe_wrong(const struct card_received* received, char* out, uint32_t size);

/* Reads and writes little-endian words of the block. */
uint16_t card_get16(const uint8_t* p);
uint32_t card_get32(const uint8_t* p);
void card_put16(uint8_t* p, uint16_t v);
void card_put32(uint8_t* p, uint32_t v);

#endif
