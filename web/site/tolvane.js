// Tolvane's JavaScript API over the WebAssembly core, for a page or a
// worker:
//
//   const tolvane = await loadTolvane();
//   const decoder = tolvane.createDecoder({ sampleRate: 48000 });
//   for (const e of decoder.push(float32Block)) show(e.text);
//   decoder.flush(); decoder.close();
//   const { samples, sampleRate } = tolvane.key('CQ DE TOLVANE', { wpm: 25 });
//   const blob = tolvane.keyWav('CQ', { pitchHz: 700, riseMs: 5 });
import createTolvaneCore from './tolvane-core.js';

let loading = null;

// Loads the core once; later calls share it.
export function loadTolvane() {
  if (!loading) loading = createTolvaneCore().then((core) => new Tolvane(core));
  return loading;
}

// The keyer's options, with the defaults the page keys with. Rates and
// limits are those of `tolvane encode`.
export const keyDefaults = Object.freeze({
  wpm: 20,             // character speed, 6 to 240
  farnsworthWpm: 0,    // overall speed with stretched gaps (ARRL); 0: none
  wordGapUnits: 0,     // 4 to 100; 0: 7 with Farnsworth, else 10
  weightPercent: 50,   // 20 to 80
  pitchHz: 600,        // 100 to 4000, below half the rate
  volumeDb: null,      // -60 to 0 dBFS; null: the library's level (-6.2 dBFS)
  sampleRate: 8000,    // 8000 to 192000
  riseMs: 0,           // raised-cosine rise and fall, 0 to 50 ms
  charset: 'basic',    // basic, latin, cyrillic, greek, hebrew, arabic
  transliterate: false,
  collapseSpaces: true, // any run of whitespace is one word gap
});

class Tolvane {
  constructor(core) {
    this.core = core;
  }

  // A streaming decoder. pitchHz > 0 listens near that pitch only.
  createDecoder({ sampleRate, pitchHz = 0, bandLoHz = 0, bandHiHz = 0 } = {}) {
    const handle = this.core._tv_decoder_new(sampleRate, pitchHz || 0, bandLoHz, bandHiHz);
    if (!handle) throw new RangeError(`no decoder for ${sampleRate} Hz, pitch ${pitchHz}, band ${bandLoHz}-${bandHiHz}`);
    return new Decoder(this.core, handle, sampleRate);
  }

  // Keys text into 16-bit samples: { samples: Int16Array, sampleRate,
  // skipped: { count, characters } }. Throws RangeError for a bad option.
  keyInt16(text, options = {}) {
    const o = { ...keyDefaults, ...options };
    const c = this.core;
    const count = c.ccall('tv_key', 'number',
      ['string', 'number', 'number', 'number', 'number', 'number', 'number', 'number', 'number', 'string',
        'number', 'number'],
      [String(text), o.wpm, o.farnsworthWpm, o.wordGapUnits, o.weightPercent, o.pitchHz,
        o.volumeDb === null ? 1 : o.volumeDb, o.sampleRate, o.riseMs, o.charset, o.transliterate ? 1 : 0,
        o.collapseSpaces ? 1 : 0]);
    if (count < 0) throw new RangeError(c.UTF8ToString(c._tv_key_error()));
    const pointer = c._tv_key_samples();
    const samples = c.HEAP16.slice(pointer >> 1, (pointer >> 1) + count);
    return { samples, sampleRate: o.sampleRate, skipped: JSON.parse(c.UTF8ToString(c._tv_key_skipped())) };
  }

  // The same as floats from -1 to 1, for Web Audio.
  key(text, options = {}) {
    const keyed = this.keyInt16(text, options);
    const samples = new Float32Array(keyed.samples.length);
    for (let i = 0; i < samples.length; i++) samples[i] = keyed.samples[i] / 32768;
    return { samples, sampleRate: keyed.sampleRate, skipped: keyed.skipped };
  }

  // The same as a 16-bit mono PCM WAV file.
  keyWav(text, options = {}) {
    const keyed = this.keyInt16(text, options);
    return wavBlob(keyed.samples, keyed.sampleRate);
  }
}

class Decoder {
  constructor(core, handle, sampleRate) {
    this.core = core;
    this.handle = handle;
    this.sampleRate = sampleRate;
  }

  // Pushes a block of samples (any length); returns the events it decided:
  // { wordGap, start, time, text, code, confidence, pitchHz, wpm, snrDb },
  // times in seconds from the first sample pushed.
  push(block) {
    const c = this.core;
    const pointer = c._tv_decoder_input(this.handle, block.length);
    if (!pointer) throw new Error('out of memory');
    c.HEAPF32.set(block, pointer >> 2);  // the heap may have grown: read it afresh
    c._tv_decoder_push(this.handle, block.length);
    return this.take();
  }

  // The end of the input: returns the events still pending.
  flush() {
    this.core._tv_decoder_flush(this.handle);
    return this.take();
  }

  take() {
    return JSON.parse(this.core.UTF8ToString(this.core._tv_decoder_take(this.handle)));
  }

  // { locked, open, pitchHz, wpm, snrDb, characters }
  status() {
    return JSON.parse(this.core.UTF8ToString(this.core._tv_decoder_status(this.handle)));
  }

  close() {
    if (this.handle) this.core._tv_decoder_free(this.handle);
    this.handle = 0;
  }
}

// 16-bit mono PCM samples as a WAV file: the library's 44-byte layout.
export function wavBlob(samples, sampleRate) {
  const header = new DataView(new ArrayBuffer(44));
  const text = (offset, s) => [...s].forEach((ch, i) => header.setUint8(offset + i, ch.charCodeAt(0)));
  const bytes = samples.length * 2;
  text(0, 'RIFF');
  header.setUint32(4, 36 + bytes, true);
  text(8, 'WAVE');
  text(12, 'fmt ');
  header.setUint32(16, 16, true);
  header.setUint16(20, 1, true);  // PCM
  header.setUint16(22, 1, true);  // mono
  header.setUint32(24, sampleRate, true);
  header.setUint32(28, sampleRate * 2, true);
  header.setUint16(32, 2, true);
  header.setUint16(34, 16, true);
  text(36, 'data');
  header.setUint32(40, bytes, true);
  // WAV is little-endian; so is every browser's typed array in practice,
  // but say so rather than rely on it.
  const data = new DataView(new ArrayBuffer(bytes));
  for (let i = 0; i < samples.length; i++) data.setInt16(2 * i, samples[i], true);
  return new Blob([header, data], { type: 'audio/wav' });
}
