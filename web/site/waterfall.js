// The scrolling waterfall: the band across, newest at the top, drawn from
// an AnalyserNode a row at a time; markers for the tracked signal and the
// chosen pitch; click, or arrow keys and Enter, to choose a signal.
const ROWS_PER_SECOND = 20;

// Dark blue through violet and orange to pale yellow: faint signals stay
// visible and strong ones do not glare.
function palette() {
  const stops = [[0, [8, 12, 40]], [0.35, [60, 30, 120]], [0.6, [200, 60, 90]], [0.8, [250, 160, 40]],
    [1, [255, 250, 200]]];
  const table = new Uint32Array(256);
  for (let i = 0; i < 256; i++) {
    const v = i / 255;
    let k = 0;
    while (k < stops.length - 2 && v > stops[k + 1][0]) k++;
    const [v0, c0] = stops[k];
    const [v1, c1] = stops[k + 1];
    const t = (v - v0) / (v1 - v0);
    const [r, g, b] = c0.map((c, j) => Math.round(c + (c1[j] - c) * t));
    table[i] = (255 << 24) | (b << 16) | (g << 8) | r;  // little-endian RGBA
  }
  return table;
}

export class Waterfall {
  constructor({ canvas, tracked, chosen, loHz = 0, hiHz = 3000, onPick }) {
    this.canvas = canvas;
    this.ctx = canvas.getContext('2d', { alpha: false });
    this.trackedMark = tracked;
    this.chosenMark = chosen;
    this.loHz = loHz;
    this.hiHz = hiHz;
    this.onPick = onPick;
    this.colours = palette();
    this.cursorHz = 0;
    this.timer = 0;
    this.ctx.fillStyle = '#080c28';
    this.ctx.fillRect(0, 0, canvas.width, canvas.height);
    canvas.addEventListener('click', (e) => {
      const box = canvas.getBoundingClientRect();
      this.pick(this.loHz + ((e.clientX - box.left) / box.width) * (this.hiHz - this.loHz));
    });
    canvas.addEventListener('keydown', (e) => this.key(e));
  }

  attach(analyser) {
    this.analyser = analyser;
    analyser.smoothingTimeConstant = 0;
    analyser.minDecibels = -110;
    analyser.maxDecibels = -30;
    this.bins = new Uint8Array(analyser.frequencyBinCount);
    this.binHz = analyser.context.sampleRate / analyser.fftSize;
    this.row = this.ctx.createImageData(this.canvas.width, 1);
    this.pixels = new Uint32Array(this.row.data.buffer);
    clearInterval(this.timer);
    this.timer = setInterval(() => this.draw(), 1000 / ROWS_PER_SECOND);
  }

  detach() {
    clearInterval(this.timer);
    this.timer = 0;
    this.analyser = null;
  }

  draw() {
    if (!this.analyser || document.hidden) return;
    this.analyser.getByteFrequencyData(this.bins);
    const w = this.canvas.width;
    const perPixel = (this.hiHz - this.loHz) / w;
    for (let x = 0; x < w; x++) {
      // The strongest bin under each pixel, so a narrow tone never falls
      // between two pixels.
      const first = Math.floor((this.loHz + x * perPixel) / this.binHz);
      const last = Math.max(first, Math.floor((this.loHz + (x + 1) * perPixel) / this.binHz) - 1);
      let peak = 0;
      for (let b = first; b <= last && b < this.bins.length; b++) peak = Math.max(peak, this.bins[b]);
      this.pixels[x] = this.colours[peak];
    }
    const h = this.canvas.height;
    this.ctx.drawImage(this.canvas, 0, 0, w, h - 1, 0, 1, w, h - 1);
    this.ctx.putImageData(this.row, 0, 0);
  }

  place(mark, hz) {
    mark.hidden = !(hz > this.loHz && hz < this.hiHz);
    if (!mark.hidden) mark.style.left = `${(100 * (hz - this.loHz)) / (this.hiHz - this.loHz)}%`;
  }

  // The signal the decoder follows now (0: none).
  setTracked(hz) {
    this.place(this.trackedMark, hz);
  }

  // The pitch the user chose (0: any).
  setChosen(hz) {
    this.cursorHz = hz;
    this.place(this.chosenMark, hz);
  }

  pick(hz) {
    const rounded = Math.round(hz / 5) * 5;
    this.setChosen(rounded);
    this.onPick(rounded);
  }

  key(e) {
    const step = e.shiftKey ? 50 : 10;
    const start = this.cursorHz || 600;
    if (e.key === 'ArrowLeft' || e.key === 'ArrowRight') {
      const hz = Math.min(this.hiHz - 10, Math.max(this.loHz + 10, start + (e.key === 'ArrowLeft' ? -step : step)));
      this.cursorHz = hz;
      this.place(this.chosenMark, hz);
      this.chosenMark.classList.add('cursor');
    } else if (e.key === 'Enter' || e.key === ' ') {
      this.chosenMark.classList.remove('cursor');
      this.pick(start);
    } else if (e.key === 'Escape') {
      this.chosenMark.classList.remove('cursor');
      this.setChosen(0);
      this.onPick(0);
    } else {
      return;
    }
    e.preventDefault();
  }
}
