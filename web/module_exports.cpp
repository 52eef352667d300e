#include <cstdint>
#include <cstring>
#include "player_state.h"
#include "mixer.h"
#include "module_loader.h"
using namespace zindle;
namespace zindle { void submit_buffer(){} void console_write(const char*, std::uint32_t){} }
extern "C" {
__attribute__((export_name("t_image"))) std::uint8_t* t_image() { return module_image; }
__attribute__((export_name("t_load"))) int t_load() { return load_module(module_image) ? 0 : -1; }
__attribute__((export_name("t_fill"))) std::int16_t* t_fill() { fill_buffer(); return output_buffers[next_buffer]; }
}
