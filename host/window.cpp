// The window exists only to receive keys and the refill message.
#include "console_text.h"
#include "host.h"
#include "player_state.h"
#include "sequencer.h"

namespace zindle {

constinit HWND main_window = nullptr;

// The Z key: the engine moves on to the next order entry; the pattern that
// will play next is written, also when the jump wraps to entry 0.
void press_z() { write_hex(jump_to_next_order()); }

LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case WM_CREATE: return 0;
    case WM_DESTROY: PostQuitMessage(0); return 0;
    case WM_KEYDOWN:
        if (wparam == VK_ESCAPE)
            PostMessageA(main_window, WM_CLOSE, 0, 0);
        else if (wparam == 'Z')
            press_z();
        break;
    case WM_USER: refill_pump(); return 0;
    default: break;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

}  // namespace zindle
