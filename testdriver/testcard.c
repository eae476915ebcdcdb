/* The test card driver: a kernel driver for Wine that stands in for the
 * wireless card's driver, so the program's W command reaches a real device
 * through CreateFileA and DeviceIoControl.
 *
 * Configuration: every subkey of the service key's Parameters is one card,
 * named like its device object ("PcCard0-0", "RNKRV521", "RUKRV48.VXD").
 * Its values say how the card answers (see docs/test-driver.md) and are read
 * when the driver starts. The card writes what it received into the same
 * key as it happens: the counts, every get asked for, every key text and
 * other record put, every control sub-code, every call made in a form the
 * card does not expect, the handles left open, and the busy answers still
 * due.
 *
 * Every name the program may look for gets a \DosDevices\ link, whether a
 * card stands behind it or not: Wine's DefineDosDeviceA cannot make such
 * names, so the program must find them existing, and a link without a card
 * fails to open like a name with no device behind it. */
#include <ddk/wdm.h>

#include "card_model.h"

/* Declared in ntddk.h, which does not build beside wdm.h from ddk/. */
NTKERNELAPI HANDLE NTAPI PsGetCurrentProcessId(VOID);

#define CARD_POOL_TAG 0x64726143u /* "Card" */
#define CARD_NAME_CHARS 64
#define CARD_PATH_CHARS 512
/* Value names such as "KeyText 12". */
#define CARD_VALUE_CHARS 32

struct card_device {
    struct card_settings settings;
    UNICODE_STRING name; /* below \Device\ */
    WCHAR name_buffer[CARD_NAME_CHARS];
    UNICODE_STRING key; /* this card's registry key */
    WCHAR key_buffer[CARD_PATH_CHARS];
    uint32_t probes;
    uint32_t closes;
    uint32_t key_texts;
    uint32_t puts;
    uint32_t controls;
    uint32_t gets;
    uint32_t wrongs;
    uint32_t open_handles;
};

/* Requests run one at a time, across all cards: they share the buffers
 * that turn what was received into registry values. */
static FAST_MUTEX card_lock;

/* The names the program looks for on the four Windows families. */
static const WCHAR* const known_names[] = {
    L"PcCard0-0", L"PcCard0-1", L"PcCard1-0",   L"PcCard1-1",  L"PcCard2-0",
    L"PcCard2-1", L"PcCard3-0", L"PcCard3-1",   L"RNKRV521",   L"RNKRV522",
    L"RNKRV523",  L"RNKRV524",  L"RNKRV525",    L"RNKRV526",   L"RNKRV527",
    L"RNKRV528",  L"RNKRV529",  L"RUKRV41.VXD", L"RUKRV48.VXD"};

static void init_text(UNICODE_STRING* s, WCHAR* buffer, USHORT chars) {
    s->Buffer = buffer;
    s->Length = 0;
    s->MaximumLength = (USHORT)(chars * sizeof(WCHAR));
}

static BOOLEAN append_text(UNICODE_STRING* s, const WCHAR* text) {
    return NT_SUCCESS(RtlAppendUnicodeToString(s, text));
}

static BOOLEAN append_string(UNICODE_STRING* s, const UNICODE_STRING* text) {
    return NT_SUCCESS(RtlAppendUnicodeStringToString(s, text));
}

/* "<prefix> <n>" into a buffer of CARD_VALUE_CHARS characters. */
static void numbered_name(UNICODE_STRING* s, WCHAR* buffer, const WCHAR* prefix, uint32_t n) {
    WCHAR digits[12];
    UNICODE_STRING number;
    init_text(&number, digits, 12);
    RtlIntegerToUnicodeString(n, 10, &number);
    init_text(s, buffer, CARD_VALUE_CHARS);
    append_text(s, prefix);
    append_text(s, L" ");
    append_string(s, &number);
}

static HANDLE open_key(const UNICODE_STRING* path) {
    OBJECT_ATTRIBUTES attributes;
    HANDLE key = 0;
    InitializeObjectAttributes(&attributes, (PUNICODE_STRING)path,
                               OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, 0, 0);
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ | KEY_SET_VALUE, &attributes))) {
        return 0;
    }
    return key;
}

#define VALUE_MISSING (-1)
#define VALUE_UNFIT (-2)

/* Reads a value of the given type into `data`. Returns its size in bytes,
 * VALUE_MISSING, or VALUE_UNFIT when it is of another type or larger than
 * `size`. */
static LONG read_value(HANDLE key, const WCHAR* name, ULONG type, void* data, ULONG size) {
    UNICODE_STRING value_name;
    ULONG header = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
    ULONG length = 0;
    LONG result = VALUE_UNFIT;
    NTSTATUS status;
    KEY_VALUE_PARTIAL_INFORMATION* info =
        ExAllocatePoolWithTag(PagedPool, header + size, CARD_POOL_TAG);
    if (info == 0) {
        return VALUE_MISSING;
    }
    RtlInitUnicodeString(&value_name, name);
    status =
        ZwQueryValueKey(key, &value_name, KeyValuePartialInformation, info, header + size, &length);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
        result = VALUE_MISSING;
    } else if (NT_SUCCESS(status) && info->Type == type && info->DataLength <= size) {
        RtlCopyMemory(data, info->Data, info->DataLength);
        result = (LONG)info->DataLength;
    }
    ExFreePoolWithTag(info, CARD_POOL_TAG);
    return result;
}

static void write_value(const struct card_device* card, const UNICODE_STRING* name, ULONG type,
                        const void* data, ULONG size) {
    HANDLE key = open_key(&card->key);
    if (key != 0) {
        ZwSetValueKey(key, (PUNICODE_STRING)name, 0, type, (PVOID)data, size);
        ZwClose(key);
    }
}

static void write_dword(const struct card_device* card, const WCHAR* name, uint32_t value) {
    UNICODE_STRING value_name;
    ULONG data = value;
    RtlInitUnicodeString(&value_name, name);
    write_value(card, &value_name, REG_DWORD, &data, sizeof data);
}

/* A value the card cannot take is named in "ConfigError", so a test that
 * sets up the card sees it at once rather than a card that answers
 * otherwise than meant. */
static void config_error(const struct card_device* card, const WCHAR* name) {
    UNICODE_STRING value_name;
    UNICODE_STRING text;
    RtlInitUnicodeString(&value_name, L"ConfigError");
    RtlInitUnicodeString(&text, name);
    write_value(card, &value_name, REG_SZ, text.Buffer, text.Length + sizeof(WCHAR));
}

static void read_count(HANDLE key, const struct card_device* card, const WCHAR* name,
                       uint32_t* value) {
    ULONG data = 0;
    LONG size = read_value(key, name, REG_DWORD, &data, sizeof data);
    if (size == (LONG)sizeof data) {
        *value = data;
    } else if (size != VALUE_MISSING) {
        config_error(card, name);
    }
}

/* Statuses are 16-bit on the wire; a larger number is refused rather than
 * cut, so a test cannot ask for one status and get another. */
static void read_status(HANDLE key, const struct card_device* card, const WCHAR* name,
                        uint16_t* value) {
    uint32_t data = *value;
    read_count(key, card, name, &data);
    if (data > 0xFFFFu) {
        config_error(card, name);
        return;
    }
    *value = (uint16_t)data;
}

static void read_record(HANDLE key, const struct card_device* card, const WCHAR* name,
                        uint16_t* words, uint32_t* count) {
    static uint8_t bytes[2 * CARD_MAX_RECORD_WORDS];
    LONG size = read_value(key, name, REG_BINARY, bytes, sizeof bytes);
    uint32_t i;
    if (size == VALUE_MISSING) {
        return;
    }
    if (size == VALUE_UNFIT || size % 2 != 0) {
        config_error(card, name);
        return;
    }
    *count = (uint32_t)size / 2;
    for (i = 0; i < *count; ++i) {
        words[i] = card_get16(bytes + 2 * i);
    }
}

/* How many of "<prefix> 1", "<prefix> 2", ... exist, so that a card
 * restarted on an earlier log goes on numbering after it. */
static uint32_t count_numbered(HANDLE key, const WCHAR* prefix) {
    uint32_t n = 0;
    for (;;) {
        WCHAR buffer[CARD_VALUE_CHARS];
        UNICODE_STRING name;
        KEY_VALUE_PARTIAL_INFORMATION info;
        ULONG length = 0;
        NTSTATUS status;
        numbered_name(&name, buffer, prefix, n + 1);
        status =
            ZwQueryValueKey(key, &name, KeyValuePartialInformation, &info, sizeof info, &length);
        if (status == STATUS_OBJECT_NAME_NOT_FOUND ||
            (!NT_SUCCESS(status) && status != STATUS_BUFFER_OVERFLOW &&
             status != STATUS_BUFFER_TOO_SMALL)) {
            return n;
        }
        ++n;
    }
}

static void write_words(const struct card_device* card, const WCHAR* name, const uint16_t* words,
                        uint32_t count) {
    static uint8_t bytes[2 * CARD_MAX_RECORD_WORDS];
    UNICODE_STRING value_name;
    uint32_t i;
    for (i = 0; i < count; ++i) {
        card_put16(bytes + 2 * i, words[i]);
    }
    RtlInitUnicodeString(&value_name, name);
    write_value(card, &value_name, REG_BINARY, bytes, 2 * count);
}

/* The value name of a setting (card_setting_table), with `suffix` after
 * it: "At" names a failure's attempt. */
static void setting_name(WCHAR* buffer, const struct card_setting* t, const WCHAR* suffix) {
    uint32_t i = 0;
    for (; t->name[i] != 0 && i + 1 < CARD_VALUE_CHARS; ++i) {
        buffer[i] = (WCHAR)t->name[i];
    }
    for (; *suffix != 0 && i + 1 < CARD_VALUE_CHARS; ++i) {
        buffer[i] = *suffix++;
    }
    buffer[i] = 0;
}

/* In the key a setting is a DWORD, a record BINARY words and a failure two
 * DWORDs, NAME and NAMEAt; the statuses' silent bits are the DWORD "Silent".
 * Reads the setting from `key`, or with no key writes it into the card's. */
static void key_setting(HANDLE key, struct card_device* card, const struct card_setting* t) {
    WCHAR name[CARD_VALUE_CHARS];
    uint8_t* s = (uint8_t*)&card->settings;
    uint16_t* words = (uint16_t*)(s + t->field);
    uint32_t* value = (uint32_t*)(s + t->field);
    uint32_t* second = (uint32_t*)(s + t->second);
    setting_name(name, t, L"");
    if (t->kind == CARD_SETTING_STATUS) {
        key ? read_status(key, card, name, words) : write_dword(card, name, *words);
    } else if (t->kind == CARD_SETTING_RECORD) {
        key ? read_record(key, card, name, words, second) : write_words(card, name, words, *second);
    } else {
        key ? read_count(key, card, name, value) : write_dword(card, name, *value);
    }
    if (t->kind == CARD_SETTING_FAILURE) {
        setting_name(name, t, L"At");
        key ? read_count(key, card, name, second) : write_dword(card, name, *second);
    }
}

/* Every setting goes back into the key as the card took it, defaults
 * included, so the key shows the whole card as the simulated machine's
 * file does. */
static void write_settings(struct card_device* card) {
    uint32_t i;
    for (i = 0; i < card_setting_count; ++i) {
        key_setting(0, card, &card_setting_table[i]);
    }
    write_dword(card, L"Silent", card->settings.silent);
    write_dword(card, L"Probes", card->probes);
    write_dword(card, L"Closes", card->closes);
    write_dword(card, L"OpenHandles", card->open_handles);
}

static void load_card(struct card_device* card) {
    uint32_t i;
    HANDLE key = open_key(&card->key);
    card_default_settings(&card->settings);
    if (key == 0) {
        return;
    }
    for (i = 0; i < card_setting_count; ++i) {
        key_setting(key, card, &card_setting_table[i]);
    }
    read_count(key, card, L"Silent", &card->settings.silent);
    read_count(key, card, L"Probes", &card->probes);
    read_count(key, card, L"Closes", &card->closes);
    card->key_texts = count_numbered(key, L"KeyText");
    card->puts = count_numbered(key, L"Put");
    card->controls = count_numbered(key, L"Control");
    card->gets = count_numbered(key, L"Get");
    card->wrongs = count_numbered(key, L"Wrong");
    /* Handles of an earlier run died with it. */
    card->open_handles = 0;
    ZwClose(key);
    write_settings(card);
}

static BOOLEAN printable(const uint8_t* bytes, uint32_t size) {
    uint32_t i;
    for (i = 0; i < size; ++i) {
        if (bytes[i] <= 0x20 || bytes[i] >= 0x7F) {
            return FALSE;
        }
    }
    return TRUE;
}

/* Writes the value "<prefix> <n>": as a string of the `size` 8-bit
 * characters at `data` for REG_SZ, else those bytes as they are. */
static void write_numbered(const struct card_device* card, const WCHAR* prefix, uint32_t n,
                           ULONG type, const void* data, uint32_t size) {
    static WCHAR text[CARD_MAX_RECORD_WORDS * 2 + 1];
    WCHAR buffer[CARD_VALUE_CHARS];
    UNICODE_STRING name;
    uint32_t i;
    numbered_name(&name, buffer, prefix, n);
    if (type != REG_SZ) {
        write_value(card, &name, type, data, size);
        return;
    }
    for (i = 0; i < size; ++i) {
        text[i] = ((const uint8_t*)data)[i];
    }
    text[size] = 0;
    write_value(card, &name, REG_SZ, text, (size + 1) * sizeof(WCHAR));
}

static void record(struct card_device* card, uint32_t busy_before, const struct card_received* r) {
    char line[160];
    uint32_t size = 0;
    switch (r->event) {
    case CARD_EVENT_PROBE:
        write_dword(card, L"Probes", ++card->probes);
        if (card->settings.busy != busy_before) {
            write_dword(card, L"Busy", card->settings.busy);
        }
        break;
    case CARD_EVENT_CLOSE:
        write_dword(card, L"Closes", ++card->closes);
        break;
    case CARD_EVENT_CONTROL: {
        ULONG code = r->sub_code;
        write_numbered(card, L"Control", ++card->controls, REG_DWORD, &code, sizeof code);
        break;
    }
    case CARD_EVENT_KEY_TEXT:
        /* A key text is kept as its characters: as a string when they can
         * stand in one, else as their bytes. */
        size = 2 * (r->word_count - 2);
        write_numbered(card, L"KeyText", ++card->key_texts,
                       printable(r->words + 4, size) ? REG_SZ : REG_BINARY, r->words + 4, size);
        break;
    case CARD_EVENT_PUT:
        write_numbered(card, L"Put", ++card->puts, REG_BINARY, r->words, 2 * r->word_count);
        break;
    case CARD_EVENT_GET:
        write_numbered(card, L"Get", ++card->gets, REG_BINARY, r->words, 2 * r->word_count);
        break;
    case CARD_EVENT_NONE:
        break;
    }
    /* A call made in a form the card does not expect, as a line of text. */
    if (r->wrong != 0) {
        size = card_describe_wrong(r, line, sizeof line);
        write_numbered(card, L"Wrong", ++card->wrongs, REG_SZ, line, size);
    }
}

/* A Win32 error as the status that Windows and Wine turn back into it. */
static NTSTATUS status_of_error(uint32_t error) {
    return (NTSTATUS)(0xC0070000u | (error & 0xFFFFu));
}

static NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

/* A handle remembers its session with the card (FsContext: whether its
 * probe succeeded, the data area its last reply left) and the process that
 * opened it (FsContext2). Wine passes on the close of a handle
 * the process left open as made by no process once the process has ended,
 * and only a close the process made itself counts as giving the handle
 * back. (Wine also holds a new file until the driver has answered its open,
 * so a handle closed before that is reported the same way.) */
static NTSTATUS NTAPI on_create(PDEVICE_OBJECT device, PIRP irp) {
    struct card_device* card = device->DeviceExtension;
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    struct card_session* session =
        ExAllocatePoolWithTag(NonPagedPool, sizeof *session, CARD_POOL_TAG);
    if (session == 0) {
        return complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    RtlZeroMemory(session, sizeof *session);
    ExAcquireFastMutex(&card_lock);
    file->FsContext = session;
    file->FsContext2 = PsGetCurrentProcessId();
    write_dword(card, L"OpenHandles", ++card->open_handles);
    ExReleaseFastMutex(&card_lock);
    return complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI on_close(PDEVICE_OBJECT device, PIRP irp) {
    struct card_device* card = device->DeviceExtension;
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    ExAcquireFastMutex(&card_lock);
    if (file->FsContext2 == PsGetCurrentProcessId() && card->open_handles > 0) {
        write_dword(card, L"OpenHandles", --card->open_handles);
    }
    if (file->FsContext != 0) {
        ExFreePoolWithTag(file->FsContext, CARD_POOL_TAG);
        file->FsContext = 0;
    }
    ExReleaseFastMutex(&card_lock);
    return complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI on_device_control(PDEVICE_OBJECT device, PIRP irp) {
    struct card_device* card = device->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG input_size = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG output_size = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PFILE_OBJECT file = stack->FileObject;
    struct card_received received;
    uint8_t* block;
    uint32_t error;
    uint32_t busy_before;
    block = irp->MdlAddress ? MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority) : 0;
    if (irp->MdlAddress != 0 && block == 0) {
        return complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    ExAcquireFastMutex(&card_lock);
    busy_before = card->settings.busy;
    error = card_call(&card->settings, file->FsContext, code, irp->AssociatedIrp.SystemBuffer,
                      input_size, block, output_size, &received);
    record(card, busy_before, &received);
    ExReleaseFastMutex(&card_lock);
    if (error != 0) {
        return complete(irp, status_of_error(error), 0);
    }
    return complete(irp, STATUS_SUCCESS, output_size);
}

static void link_path(UNICODE_STRING* s, WCHAR* buffer, const WCHAR* prefix,
                      const UNICODE_STRING* name) {
    init_text(s, buffer, CARD_NAME_CHARS + 16);
    append_text(s, prefix);
    append_string(s, name);
}

static void create_link(const UNICODE_STRING* name) {
    WCHAR link_buffer[CARD_NAME_CHARS + 16];
    WCHAR target_buffer[CARD_NAME_CHARS + 16];
    UNICODE_STRING link;
    UNICODE_STRING target;
    link_path(&link, link_buffer, L"\\DosDevices\\", name);
    link_path(&target, target_buffer, L"\\Device\\", name);
    /* A card with a known name already has its link. */
    IoCreateSymbolicLink(&link, &target);
}

static void delete_link(const UNICODE_STRING* name) {
    WCHAR link_buffer[CARD_NAME_CHARS + 16];
    UNICODE_STRING link;
    link_path(&link, link_buffer, L"\\DosDevices\\", name);
    IoDeleteSymbolicLink(&link);
}

/* Wine hands out the handle before the driver sees IRP_MJ_CREATE, so a card
 * cannot refuse an open by its answer; a card that is to refuse it gets a
 * device object without a name, and its link leads nowhere. */
static BOOLEAN refuses_open(const UNICODE_STRING* key_path) {
    ULONG error = 0;
    HANDLE key = open_key(key_path);
    if (key == 0) {
        return FALSE;
    }
    read_value(key, L"OpenError", REG_DWORD, &error, sizeof error);
    ZwClose(key);
    return error != 0;
}

static void create_card(PDRIVER_OBJECT driver, const UNICODE_STRING* parameters,
                        const UNICODE_STRING* name) {
    WCHAR device_buffer[CARD_NAME_CHARS + 16];
    WCHAR key_buffer[CARD_PATH_CHARS];
    UNICODE_STRING device_name;
    UNICODE_STRING key;
    PDEVICE_OBJECT device;
    struct card_device* card;
    if (name->Length >= CARD_NAME_CHARS * sizeof(WCHAR)) {
        return;
    }
    init_text(&key, key_buffer, CARD_PATH_CHARS);
    if (!append_string(&key, parameters) || !append_text(&key, L"\\") ||
        !append_string(&key, name)) {
        return;
    }
    link_path(&device_name, device_buffer, L"\\Device\\", name);
    if (!NT_SUCCESS(IoCreateDevice(driver, sizeof *card, refuses_open(&key) ? 0 : &device_name,
                                   FILE_DEVICE_UNKNOWN, 0, FALSE, &device))) {
        return;
    }
    card = device->DeviceExtension;
    RtlZeroMemory(card, sizeof *card);
    init_text(&card->name, card->name_buffer, CARD_NAME_CHARS);
    append_string(&card->name, name);
    init_text(&card->key, card->key_buffer, CARD_PATH_CHARS);
    append_string(&card->key, &key);
    load_card(card);
    create_link(&card->name);
}

static void create_cards(PDRIVER_OBJECT driver, const UNICODE_STRING* parameters) {
    static uint8_t buffer[sizeof(KEY_BASIC_INFORMATION) + CARD_NAME_CHARS * sizeof(WCHAR)];
    KEY_BASIC_INFORMATION* info = (KEY_BASIC_INFORMATION*)buffer;
    HANDLE key = open_key(parameters);
    ULONG index;
    if (key == 0) {
        return;
    }
    for (index = 0;; ++index) {
        UNICODE_STRING name;
        ULONG length = 0;
        NTSTATUS status =
            ZwEnumerateKey(key, index, KeyBasicInformation, info, sizeof buffer, &length);
        if (status == STATUS_NO_MORE_ENTRIES) {
            break;
        }
        if (status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL) {
            continue; /* a name too long for a card */
        }
        if (!NT_SUCCESS(status)) {
            break;
        }
        name.Buffer = info->Name;
        name.Length = (USHORT)info->NameLength;
        name.MaximumLength = name.Length;
        create_card(driver, parameters, &name);
    }
    ZwClose(key);
}

static VOID NTAPI on_unload(PDRIVER_OBJECT driver) {
    ULONG i;
    for (i = 0; i < sizeof known_names / sizeof known_names[0]; ++i) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, known_names[i]);
        delete_link(&name);
    }
    while (driver->DeviceObject != 0) {
        struct card_device* card = driver->DeviceObject->DeviceExtension;
        delete_link(&card->name);
        IoDeleteDevice(driver->DeviceObject);
    }
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
    static WCHAR parameters_buffer[CARD_PATH_CHARS];
    UNICODE_STRING parameters;
    ULONG i;
    ExInitializeFastMutex(&card_lock);
    init_text(&parameters, parameters_buffer, CARD_PATH_CHARS);
    if (!append_string(&parameters, registry_path) || !append_text(&parameters, L"\\Parameters")) {
        return STATUS_NAME_TOO_LONG;
    }
    driver->MajorFunction[IRP_MJ_CREATE] = on_create;
    driver->MajorFunction[IRP_MJ_CLOSE] = on_close;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = on_device_control;
    driver->DriverUnload = on_unload;
    create_cards(driver, &parameters);
    for (i = 0; i < sizeof known_names / sizeof known_names[0]; ++i) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, known_names[i]);
        create_link(&name);
    }
    return STATUS_SUCCESS;
}
