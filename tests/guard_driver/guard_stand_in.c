/*
 * A stand-in for the workstation's resident file guard, for the system tests
 * only (it never ships). Wine loads it as a kernel-driver service; it answers
 * the guard's control devices the way the test asks and writes down every
 * request it gets, one line each, to C:\guard-record.txt.
 *
 * Devices (each with a \DosDevices link of the same name):
 *   QVPortivaDev  the NT-family guard device
 *   PV95, KXR     the Windows 9x control devices
 *   qvpv95        the Windows 9x setting device
 *
 * Behaviour, read once from <service key>\Parameters (REG_DWORD values; a
 * missing value keeps its default):
 *   SetStateStatus     status of 0x7E800, set state '0'/'1' (0)
 *   ReadStateStatus    status of 0x7F010, read state (0)
 *   OldSetStateStatus  status of 0x7C454, set state as a 32-bit int (0)
 *   ControlStatus      status of 0x200, the 9x control code (0)
 *   SettingStatus      status of 0x7C450, the 9x setting code (0)
 *   ReadStateAnswer    0: the state last set; 1: nothing (Information 0, the
 *                      caller's buffer untouched); 2: the opposite of the
 *                      state last set; 3: AnswerWord (0)
 *   AnswerWord         the word answered when ReadStateAnswer is 3 (0)
 *   InitialState       the state before any request sets it (1)
 *   PendCodes          requests left pending until cancelled, a mask: 1
 *                      0x7E800, 2 0x7F010, 4 0x7C454, 8 0x200, 16 0x7C450,
 *                      32 any other code (0)
 * A failing status (an NTSTATUS error) completes the request with
 * Information 0. Opens always succeed: Wine opens the file without waiting
 * for the create request's status. A request left pending ends as cancelled
 * when it is cancelled or when its file is closed.
 *
 * Record lines (hex without 0x, lengths in decimal):
 *   load found=N NAME=HEX ...    how many values were found, the behaviour
 *   open DEVICE file=N share=HEX options=HEX
 *   cleanup DEVICE file=N        close DEVICE file=N
 *   ioctl DEVICE CODE file=N in=HEX inlen=N outlen=N status=HEX|pending
 *         info=N out=HEX
 *   cancel DEVICE CODE file=N by=cancel|close
 *   unload
 * file=N numbers the opens since the driver loaded, so a close can be matched
 * to its open; in= holds at most the first 256 input bytes.
 */

#include <ntddk.h>

#define RECORD_PATH L"\\??\\C:\\guard-record.txt"

#define CODE_SET_STATE      0x7E800
#define CODE_READ_STATE     0x7F010
#define CODE_OLD_SET_STATE  0x7C454
#define CODE_CONTROL        0x200
#define CODE_SETTING        0x7C450

#define DEVICE_COUNT 4
static const WCHAR *const device_names[DEVICE_COUNT] = {
    L"QVPortivaDev", L"PV95", L"KXR", L"qvpv95"};
static PDEVICE_OBJECT devices[DEVICE_COUNT];

/* prefix + the device's name into buffer (64 characters), as a string */
static void device_path(UNICODE_STRING *path, WCHAR *buffer,
                        const WCHAR *prefix, int index)
{
    const WCHAR *name = device_names[index];
    int i = 0;
    while (*prefix)
        buffer[i++] = *prefix++;
    while (*name)
        buffer[i++] = *name++;
    buffer[i] = 0;
    RtlInitUnicodeString(path, buffer);
}

typedef struct {
    int index;  /* into device_names */
} GUARD_EXTENSION;

static struct {
    ULONG set_state_status;
    ULONG read_state_status;
    ULONG old_set_state_status;
    ULONG control_status;
    ULONG setting_status;
    ULONG read_state_answer;
    ULONG answer_word;
    ULONG initial_state;
    ULONG pend_codes;
} behaviour = {0, 0, 0, 0, 0, 0, 0, 1, 0};

static ULONG state;
static LONG opens;

/* Requests left pending: at most this many at a time, guarded by the cancel
 * spin lock. */
#define PENDING_MAX 32
static PIRP pending[PENDING_MAX];

/* -- the record file ---------------------------------------------------- */

typedef struct {
    char text[700];
    int length;
} LINE;

static void put(LINE *line, const char *text)
{
    while (*text && line->length < (int)sizeof(line->text) - 2)
        line->text[line->length++] = *text++;
}

/* a name of ASCII characters */
static void put_name(LINE *line, const WCHAR *name)
{
    while (*name && line->length < (int)sizeof(line->text) - 2)
        line->text[line->length++] = (char)*name++;
}

static void put_hex(LINE *line, ULONG value, int digits)
{
    static const char hex[] = "0123456789abcdef";
    char buffer[9];
    int i;
    for (i = digits - 1; i >= 0; i--) {
        buffer[i] = hex[value & 15];
        value >>= 4;
    }
    buffer[digits] = 0;
    put(line, buffer);
}

static void put_decimal(LINE *line, ULONG value)
{
    char buffer[11];
    int i = sizeof(buffer) - 1;
    buffer[i] = 0;
    do {
        buffer[--i] = (char)('0' + value % 10);
        value /= 10;
    } while (value);
    put(line, buffer + i);
}

static void put_field(LINE *line, const char *name, ULONG value, int hex)
{
    put(line, " ");
    put(line, name);
    put(line, "=");
    if (hex)
        put_hex(line, value, 8);
    else
        put_decimal(line, value);
}

static void put_hex_field(LINE *line, const WCHAR *name, ULONG value)
{
    put(line, " ");
    put_name(line, name);
    put(line, "=");
    put_hex(line, value, 8);
}

static void put_bytes(LINE *line, const char *name, const UCHAR *data,
                      ULONG length)
{
    ULONG i;
    put(line, " ");
    put(line, name);
    put(line, "=");
    if (length > 256)
        length = 256;
    for (i = 0; data && i < length; i++)
        put_hex(line, data[i], 2);
}

/* Appends the line to the record file; opened and closed each time so that
 * the file is complete whenever a test reads it. */
static void write_line(LINE *line)
{
    UNICODE_STRING path;
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK io;
    HANDLE file;

    line->text[line->length++] = '\r';
    line->text[line->length++] = '\n';
    RtlInitUnicodeString(&path, RECORD_PATH);
    InitializeObjectAttributes(&attributes, &path,
                               OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               NULL, NULL);
    if (!NT_SUCCESS(ZwCreateFile(&file, FILE_APPEND_DATA | SYNCHRONIZE,
                                 &attributes, &io, NULL, FILE_ATTRIBUTE_NORMAL,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 FILE_OPEN_IF,
                                 FILE_SYNCHRONOUS_IO_NONALERT |
                                 FILE_NON_DIRECTORY_FILE, NULL, 0)))
        return;
    ZwWriteFile(file, NULL, NULL, NULL, &io, line->text, line->length, NULL,
                NULL);
    ZwClose(file);
}

static ULONG file_number(PFILE_OBJECT file)
{
    return file ? (ULONG)(ULONG_PTR)file->FsContext : 0;
}

static const WCHAR *device_name(PDEVICE_OBJECT device)
{
    return device_names[((GUARD_EXTENSION *)device->DeviceExtension)->index];
}

/* "WHAT DEVICE file=N" */
static void start_line(LINE *line, const char *what, PDEVICE_OBJECT device,
                       PFILE_OBJECT file)
{
    line->length = 0;
    put(line, what);
    put(line, " ");
    put_name(line, device_name(device));
    put_field(line, "file", file_number(file), 0);
}

/* "WHAT DEVICE CODE file=N" */
static void start_request_line(LINE *line, const char *what,
                               PDEVICE_OBJECT device, PIO_STACK_LOCATION stack)
{
    line->length = 0;
    put(line, what);
    put(line, " ");
    put_name(line, device_name(device));
    put(line, " ");
    put_hex(line, stack->Parameters.DeviceIoControl.IoControlCode, 8);
    put_field(line, "file", file_number(stack->FileObject), 0);
}

/* -- requests ------------------------------------------------------------ */

static NTSTATUS finish(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = NT_SUCCESS(status) ? information : 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static NTSTATUS NTAPI dispatch_create(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    LINE line;

    if (stack->FileObject)
        stack->FileObject->FsContext =
            (PVOID)(ULONG_PTR)InterlockedIncrement(&opens);
    start_line(&line, "open", device, stack->FileObject);
    put_field(&line, "share", stack->Parameters.Create.ShareAccess, 1);
    put_field(&line, "options", stack->Parameters.Create.Options, 1);
    write_line(&line);
    return finish(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI dispatch_cleanup(PDEVICE_OBJECT device, PIRP irp)
{
    LINE line;
    start_line(&line, "cleanup", device,
               IoGetCurrentIrpStackLocation(irp)->FileObject);
    write_line(&line);
    return finish(irp, STATUS_SUCCESS, 0);
}

static VOID NTAPI cancel_pending(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    LINE line;
    int i;

    for (i = 0; i < PENDING_MAX; i++)
        if (pending[i] == irp)
            pending[i] = NULL;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    start_request_line(&line, "cancel", device, stack);
    put(&line, " by=cancel");
    write_line(&line);
    finish(irp, STATUS_CANCELLED, 0);
}

/* Leaves the request pending until it is cancelled; answers whether it
 * was (else there was no room and it is completed by the caller). */
static BOOLEAN leave_pending(PIRP irp)
{
    KIRQL irql;
    int i;

    IoAcquireCancelSpinLock(&irql);
    for (i = 0; i < PENDING_MAX && pending[i]; i++)
        ;
    if (i == PENDING_MAX) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    pending[i] = irp;
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, cancel_pending);
    IoReleaseCancelSpinLock(irql);
    return TRUE;
}

/* The handle's last close: requests of the file still pending end as
 * cancelled, as they would at its cleanup. (Wine sends the close at once,
 * with requests still pending, and sends no cleanup.) */
static NTSTATUS NTAPI dispatch_close(PDEVICE_OBJECT device, PIRP irp)
{
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    PIRP ending[PENDING_MAX];
    int count = 0, i;
    KIRQL irql;
    LINE line;

    IoAcquireCancelSpinLock(&irql);
    for (i = 0; i < PENDING_MAX; i++) {
        if (pending[i] &&
            IoGetCurrentIrpStackLocation(pending[i])->FileObject == file &&
            IoSetCancelRoutine(pending[i], NULL)) {
            ending[count++] = pending[i];
            pending[i] = NULL;
        }
    }
    IoReleaseCancelSpinLock(irql);
    for (i = 0; i < count; i++) {
        start_request_line(&line, "cancel", device,
                           IoGetCurrentIrpStackLocation(ending[i]));
        put(&line, " by=close");
        write_line(&line);
        finish(ending[i], STATUS_CANCELLED, 0);
    }
    start_line(&line, "close", device, file);
    write_line(&line);
    return finish(irp, STATUS_SUCCESS, 0);
}

static ULONG pend_bit(ULONG code)
{
    switch (code) {
    case CODE_SET_STATE: return 1;
    case CODE_READ_STATE: return 2;
    case CODE_OLD_SET_STATE: return 4;
    case CODE_CONTROL: return 8;
    case CODE_SETTING: return 16;
    default: return 32;
    }
}

static NTSTATUS NTAPI dispatch_control(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG in_length = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out_length = stack->Parameters.DeviceIoControl.OutputBufferLength;
    UCHAR *buffer = irp->AssociatedIrp.SystemBuffer;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    LINE line;

    start_request_line(&line, "ioctl", device, stack);
    put_bytes(&line, "in", buffer, in_length);
    put_field(&line, "inlen", in_length, 0);
    put_field(&line, "outlen", out_length, 0);

    if ((behaviour.pend_codes & pend_bit(code)) && leave_pending(irp)) {
        put(&line, " status=pending");
        write_line(&line);
        return STATUS_PENDING;
    }

    switch (code) {
    case CODE_SET_STATE:
        status = (NTSTATUS)behaviour.set_state_status;
        if (NT_SUCCESS(status) && in_length >= 1 &&
            (buffer[0] == '0' || buffer[0] == '1'))
            state = buffer[0] - '0';
        break;
    case CODE_READ_STATE:
        status = (NTSTATUS)behaviour.read_state_status;
        if (!NT_SUCCESS(status) || behaviour.read_state_answer == 1)
            break;
        if (out_length < 2) {
            status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        {
            ULONG word = behaviour.read_state_answer == 2 ? !state
                : behaviour.read_state_answer == 3 ? behaviour.answer_word
                : state;
            buffer[0] = (UCHAR)word;
            buffer[1] = (UCHAR)(word >> 8);
            information = 2;
        }
        break;
    case CODE_OLD_SET_STATE:
        status = (NTSTATUS)behaviour.old_set_state_status;
        if (NT_SUCCESS(status) && in_length >= 4)
            state = buffer[0] | buffer[1] << 8 | buffer[2] << 16 |
                    (ULONG)buffer[3] << 24;
        break;
    case CODE_CONTROL:
        status = (NTSTATUS)behaviour.control_status;
        if (NT_SUCCESS(status) && in_length >= 1 &&
            (buffer[0] == '0' || buffer[0] == '1'))
            state = buffer[0] - '0';
        break;
    case CODE_SETTING:
        status = (NTSTATUS)behaviour.setting_status;
        break;
    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    if (!NT_SUCCESS(status))
        information = 0;
    put_field(&line, "status", (ULONG)status, 1);
    put_field(&line, "info", (ULONG)information, 0);
    put_bytes(&line, "out", buffer, (ULONG)information);
    write_line(&line);
    return finish(irp, status, information);
}

/* -- loading ------------------------------------------------------------- */

static void read_behaviour(PUNICODE_STRING registry_path)
{
    static const struct {
        const WCHAR *name;
        ULONG *value;
    } values[] = {
        {L"SetStateStatus", &behaviour.set_state_status},
        {L"ReadStateStatus", &behaviour.read_state_status},
        {L"OldSetStateStatus", &behaviour.old_set_state_status},
        {L"ControlStatus", &behaviour.control_status},
        {L"SettingStatus", &behaviour.setting_status},
        {L"ReadStateAnswer", &behaviour.read_state_answer},
        {L"AnswerWord", &behaviour.answer_word},
        {L"InitialState", &behaviour.initial_state},
        {L"PendCodes", &behaviour.pend_codes},
    };
    enum { COUNT = sizeof(values) / sizeof(values[0]) };
    RTL_QUERY_REGISTRY_TABLE table[2];
    static WCHAR path[512];
    static const WCHAR suffix[] = L"\\Parameters";
    ULONG length = registry_path->Length / sizeof(WCHAR);
    ULONG i, found = 0;
    LINE line;

    /* One value a query: a missing value fails the whole table, and the
     * values after it would be left unread. */
    if (length + sizeof(suffix) / sizeof(WCHAR) <= 512) {
        RtlCopyMemory(path, registry_path->Buffer, length * sizeof(WCHAR));
        RtlCopyMemory(path + length, suffix, sizeof(suffix));
        for (i = 0; i < COUNT; i++) {
            ULONG value = *values[i].value;
            RtlZeroMemory(table, sizeof(table));
            table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
            table[0].Name = (PWSTR)values[i].name;
            table[0].EntryContext = &value;
            table[0].DefaultType = REG_NONE;
            if (NT_SUCCESS(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, path,
                                                  table, NULL, NULL))) {
                *values[i].value = value;
                found++;
            }
        }
    }
    state = behaviour.initial_state;

    line.length = 0;
    put(&line, "load");
    put_field(&line, "found", found, 0);
    for (i = 0; i < COUNT; i++)
        put_hex_field(&line, values[i].name, *values[i].value);
    write_line(&line);
}

static VOID NTAPI unload(PDRIVER_OBJECT driver)
{
    UNICODE_STRING link;
    WCHAR buffer[64];
    LINE line;
    int i;

    for (i = 0; i < DEVICE_COUNT; i++) {
        if (!devices[i])
            continue;
        device_path(&link, buffer, L"\\DosDevices\\", i);
        IoDeleteSymbolicLink(&link);
        IoDeleteDevice(devices[i]);
        devices[i] = NULL;
    }
    line.length = 0;
    put(&line, "unload");
    write_line(&line);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path)
{
    UNICODE_STRING name, link;
    WCHAR name_buffer[64], link_buffer[64];
    NTSTATUS status;
    int i;

    read_behaviour(registry_path);

    driver->MajorFunction[IRP_MJ_CREATE] = dispatch_create;
    driver->MajorFunction[IRP_MJ_CLEANUP] = dispatch_cleanup;
    driver->MajorFunction[IRP_MJ_CLOSE] = dispatch_close;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch_control;
    driver->DriverUnload = unload;

    for (i = 0; i < DEVICE_COUNT; i++) {
        device_path(&name, name_buffer, L"\\Device\\", i);
        device_path(&link, link_buffer, L"\\DosDevices\\", i);
        status = IoCreateDevice(driver, sizeof(GUARD_EXTENSION), &name,
                                FILE_DEVICE_UNKNOWN, 0, FALSE, &devices[i]);
        if (!NT_SUCCESS(status)) {
            unload(driver);
            return status;
        }
        ((GUARD_EXTENSION *)devices[i]->DeviceExtension)->index = i;
        devices[i]->Flags |= DO_BUFFERED_IO;
        status = IoCreateSymbolicLink(&link, &name);
        if (!NT_SUCCESS(status)) {
            unload(driver);
            return status;
        }
        devices[i]->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    return STATUS_SUCCESS;
}
