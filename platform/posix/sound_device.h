// The sound device behind waveOut (alsa_device.cpp): one PCM stream of
// interleaved frames that never blocks a write. waveOut's queue, notices
// and clock (waveout.cpp) know only these calls.
#pragma once

namespace zindle::posix {

struct PcmFormat {
    unsigned bits;  // 8 (unsigned) or 16 (signed, little-endian)
    unsigned channels;
    unsigned rate;  // frames per second
};

// An open device.
struct Pcm;

// Opens the default device, with room for everything the host keeps
// queued, playing from the first frame written; null when it cannot. May
// take long (a frozen sound server): waveOut calls it from a helper thread.
Pcm* open_pcm(const PcmFormat& format, unsigned long long& buffer_frames);
void close_pcm(Pcm* pcm);

// Hands over up to `frames` frames: the number taken, or a negative errno
// (-EAGAIN: no room now, -EINTR, -EPIPE: an underrun, others: a failure).
long long write_pcm(Pcm* pcm, const void* frames_data, unsigned long long frames);
// Recovers from an error write_pcm gave (or an underrun); false when the
// device no longer works. Recovering from an underrun drops what it held.
bool recover_pcm(Pcm* pcm, int error);
// Whether the device has run dry and not been recovered yet.
bool pcm_underrun(Pcm* pcm);
// Frames handed over that the device has not passed on; it still tells in
// an underrun, where its delay no longer does.
unsigned long long pcm_unplayed(Pcm* pcm, unsigned long long buffer_frames);
// Frames the device holds before they are heard; false when it cannot say
// (an underrun). pcm_delay_now asks the device where it is first.
bool pcm_delay(Pcm* pcm, long long& frames);
bool pcm_delay_now(Pcm* pcm, long long& frames);

}  // namespace zindle::posix
