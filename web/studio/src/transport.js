// Playing the rendered samples through Web Audio, and the show's clock:
// show time follows the audio context's clock from the sample playback
// started at, wrapped into the loop when one is set. Times are show
// milliseconds; samples are at 44100 Hz.

const Rate = 44100;

export class Transport {
  constructor() {
    this.context = null;
    this.buffer = null;
    this.source = null;
    this.playing = false;
    this.startMs = 0;       // show time when the source started (or where it rests)
    this.startedAt = 0;     // the context's time then
    this.loop = null;       // { startMs, endMs }
    this.onEnded = () => {};
  }

  ensureContext() {
    if (!this.context) this.context = new AudioContext();
    if (this.context.state === 'suspended') this.context.resume();
  }

  lengthMs() {
    return this.buffer ? Math.floor(this.buffer.length * 1000 / Rate) : 0;
  }

  // Show time now.
  nowMs() {
    if (!this.playing) return this.startMs;
    let ms = this.startMs + (this.context.currentTime - this.startedAt) * 1000;
    if (this.loop && ms >= this.loop.endMs)
      ms = this.loop.startMs + (ms - this.loop.startMs) % (this.loop.endMs - this.loop.startMs);
    return Math.min(ms, this.lengthMs());
  }

  // New samples (an edit, a solo): they go on from the same time.
  setSamples(samples) {
    this.ensureContext();
    const buffer = this.context.createBuffer(1, Math.max(samples.length, 1), Rate);
    const channel = buffer.getChannelData(0);
    for (let i = 0; i < samples.length; ++i) channel[i] = samples[i] / 32768;
    const ms = this.nowMs();
    this.buffer = buffer;
    if (this.playing) this.start(ms);
  }

  stopSource() {
    if (!this.source) return;
    this.source.onended = null;
    this.source.stop();
    this.source.disconnect();
    this.source = null;
  }

  start(ms) {
    this.ensureContext();
    this.stopSource();
    if (this.loop && (ms < this.loop.startMs || ms >= this.loop.endMs)) ms = this.loop.startMs;
    if (ms >= this.lengthMs()) ms = 0;
    const source = this.context.createBufferSource();
    source.buffer = this.buffer;
    if (this.loop) {
      source.loop = true;
      source.loopStart = this.loop.startMs / 1000;
      source.loopEnd = this.loop.endMs / 1000;
    }
    source.connect(this.context.destination);
    source.onended = () => {
      this.source = null;
      this.playing = false;
      this.startMs = this.lengthMs();
      this.onEnded();
    };
    // The sample the show plays at ms, as the native programs place it.
    source.start(0, Math.floor(ms * 441 / 10) / Rate);
    this.source = source;
    this.startMs = ms;
    this.startedAt = this.context.currentTime;
    this.playing = true;
  }

  play() {
    this.start(this.startMs);
  }

  pause() {
    const ms = this.nowMs();
    this.stopSource();
    this.playing = false;
    this.startMs = ms;
  }

  seek(ms) {
    if (this.playing) this.start(ms);
    else this.startMs = Math.max(0, Math.min(ms, this.lengthMs()));
  }

  // A loop from startMs to endMs, or none (null).
  setLoop(loop) {
    const ms = this.nowMs();
    this.loop = loop;
    if (this.playing) this.start(ms);
    else if (loop) this.startMs = loop.startMs;
  }
}
