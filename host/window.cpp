// The window exists only to receive keys and the refill message.
#include "console_text.h"
#include "host.h"
#include "player_state.h"

namespace zindle {

constinit HWND main_window = nullptr;

void jump_to_next_order() {
    SongState& song = player.song;
    const std::uint8_t* entry = song.order_pos + 1;
    if (entry >= song.order_table + song.song_length) entry = song.order_table;
    // The pattern that will play next, also when the jump wraps to entry 0.
    write_hex(*entry);
    song.loop_row_offset = *entry * song.pattern_bytes;
    song.loop_count = 0;
    song.row_offset = song.loop_row_offset;
    song.order_pos = entry;
}

LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case WM_CREATE:
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_KEYDOWN:
        if (wparam == VK_ESCAPE)
            PostMessageA(main_window, WM_CLOSE, 0, 0);
        else if (wparam == 'Z')
            jump_to_next_order();
        break;
    case WM_USER:
        refill_pump();
        return 0;
    default:
        break;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

}  // namespace zindle
