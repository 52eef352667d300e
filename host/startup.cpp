// The program's entry: window, console, file, timer, sound device, loader,
// priming, then the message loop until the window is gone.
#include "console_text.h"
#include "host.h"
#include "module_loader.h"
#include "player_state.h"

namespace zindle {

namespace {

[[noreturn]] void fail(const char* text, UINT code = EXIT_FAILED) {
    write_text(text);
    ExitProcess(code);
}

}  // namespace

const char* module_path(const char* command_line) {
    const char* at = command_line;
    // A program's path with blanks comes in quotes (Windows puts it so, and
    // the Linux platform too): its blanks are part of the name.
    if (*at == '"') {
        do {
            if (*++at == 0) return nullptr;
        } while (*at != '"');
        ++at;
    }
    while (*at != ' ') {
        if (*at == 0) return nullptr;
        ++at;
    }
    while (*at == ' ') ++at;
    return at;
}

void run_player() {
    const HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSA window_class = {};
    window_class.style = CS_HREDRAW | CS_VREDRAW;
    window_class.lpfnWndProc = window_procedure;
    window_class.hInstance = instance;
    window_class.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    window_class.lpszClassName = "zindle";
    RegisterClassA(&window_class);

    main_window = CreateWindowExA(0, "zindle", "zindle", WS_BORDER | WS_SYSMENU | WS_MINIMIZEBOX, CW_USEDEFAULT,
                                  CW_USEDEFAULT, 160, 80, nullptr, nullptr, instance, nullptr);
    ShowWindow(main_window, SW_SHOWNORMAL);

    // Fails harmlessly when the program already has a console.
    AllocConsole();
    console_output = GetStdHandle(STD_OUTPUT_HANDLE);
    wire_engine();

    const char* path = module_path(GetCommandLineA());
    if (path == nullptr) fail("Couldn't open file");
    const HANDLE file =
        CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) fail("Couldn't open file");
    // A read that fails partway would play a damaged song as if all were
    // well: it counts as a file that cannot be opened.
    DWORD read;
    const BOOL read_whole = ReadFile(file, module_image, IMAGE_BYTES, &read, nullptr);
    CloseHandle(file);
    if (read_whole == FALSE) fail("Couldn't open file");

    if (!start_refill_timer()) fail("timer fail");
    if (!open_sound_device()) fail("Couldn't open sound device", EXIT_NO_SOUND_DEVICE);

    if (!load_module()) ExitProcess(EXIT_FAILED);
    prime_sound_device();

    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) != 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    ExitProcess(EXIT_OK);
}

}  // namespace zindle

extern "C" void zindle_entry() { zindle::run_player(); }
