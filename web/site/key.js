// The keying side of the page: text and the encoder's options into audio to
// play or to download as WAV.
import { loadTolvane, wavBlob } from './tolvane.js';

const $ = (id) => document.getElementById(id);
let playback = null;  // { context, source }

function options() {
  const number = (id) => Number($(id).value);
  return {
    wpm: number('key-wpm'),
    farnsworthWpm: number('key-farnsworth'),
    pitchHz: number('key-pitch'),
    riseMs: number('key-rise'),
    sampleRate: 8000,
  };
}

function say(message) {
  $('key-status').textContent = message;
}

// Keys the text; null with the reason shown when it cannot.
async function keyed() {
  const text = $('key-text').value;
  if (!text.trim()) {
    say('Type something to key first.');
    return null;
  }
  const tolvane = await loadTolvane();
  try {
    const result = tolvane.keyInt16(text, options());
    const seconds = result.samples.length / result.sampleRate;
    const skipped = result.skipped.count
      ? `; skipped ${result.skipped.characters.join(' ')} (no Morse code)` : '';
    say(`${seconds.toFixed(1)} s of Morse${skipped}.`);
    return result;
  } catch (error) {
    say(`Cannot key that: ${error.message}.`);
    return null;
  }
}

function stop() {
  if (!playback) return;
  playback.source.onended = null;
  playback.source.stop();
  playback.context.close();
  playback = null;
  $('key-play').textContent = 'Play';
}

async function play() {
  if (playback) {
    stop();
    return;
  }
  const result = await keyed();
  if (!result) return;
  const context = new AudioContext();
  const buffer = context.createBuffer(1, Math.max(1, result.samples.length), result.sampleRate);
  const channel = buffer.getChannelData(0);
  for (let i = 0; i < result.samples.length; i++) channel[i] = result.samples[i] / 32768;
  const source = context.createBufferSource();
  source.buffer = buffer;
  source.connect(context.destination);
  source.onended = stop;
  source.start();
  playback = { context, source };
  $('key-play').textContent = 'Stop';
}

async function download() {
  const result = await keyed();
  if (!result) return;
  const url = URL.createObjectURL(wavBlob(result.samples, result.sampleRate));
  const link = document.createElement('a');
  link.href = url;
  const words = $('key-text').value.trim().split(/\s+/).slice(0, 3).join('-');
  link.download = `tolvane-${words.replace(/[^A-Za-z0-9-]/g, '') || 'morse'}.wav`;
  document.body.append(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(url), 60000);
}

export function setUpKeying() {
  $('key-form').addEventListener('submit', (e) => {
    e.preventDefault();
    play();
  });
  $('key-download').addEventListener('click', download);
  // The core loads while the user types.
  loadTolvane();
}
