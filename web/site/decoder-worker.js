// The decoder's worker: runs the WebAssembly recogniser on live blocks from
// the capture worklet and on whole files, off the main thread.
import { loadTolvane } from './tolvane.js';

const ready = loadTolvane();
let live = null;   // { decoder, port, rate, pushed, lastStatus }
let fileJob = 0;   // the newest file job; older ones stop

// Wall-clock milliseconds, comparable across the page and its workers.
const now = () => performance.timeOrigin + performance.now();

function startDecoder(tolvane, rate, pitchHz) {
  if (live && live.decoder) live.decoder.close();
  live.decoder = tolvane.createDecoder({ sampleRate: rate, pitchHz });
  live.pushed = 0;
}

function onBlock(block) {
  if (!live || !live.decoder) return;
  const arrived = now();
  const events = live.decoder.push(block);
  live.pushed += block.length;
  // When each character's audio ended, on the wall clock: the last sample
  // of this block was captured about when the block arrived.
  for (const e of events) {
    e.heldFor = live.pushed / live.rate - e.time;  // by the engine, in seconds of input
    e.endedAt = arrived - e.heldFor * 1000;
  }
  const fresh = arrived - live.lastStatus > 200;
  if (events.length || fresh) {
    live.lastStatus = arrived;
    postMessage({ type: 'live', events, status: live.decoder.status() });
  }
}

onmessage = async ({ data }) => {
  const tolvane = await ready;
  if (data.type === 'listen') {
    live = { port: data.port, rate: data.sampleRate, lastStatus: 0 };
    startDecoder(tolvane, data.sampleRate, data.pitchHz);
    data.port.onmessage = (event) => onBlock(event.data);
  } else if (data.type === 'tune' && live) {
    // A new engine for the chosen pitch; the text so far stays on the page.
    const rest = live.decoder.flush();
    postMessage({ type: 'live', events: rest, status: live.decoder.status() });
    startDecoder(tolvane, live.rate, data.pitchHz);
  } else if (data.type === 'stop' && live) {
    live.port.onmessage = null;
    live.port.close();
    const rest = live.decoder.flush();
    postMessage({ type: 'live', events: rest, status: live.decoder.status(), stopped: true });
    live.decoder.close();
    live = null;
  } else if (data.type === 'file') {
    decodeFile(tolvane, data);
  }
};

// A whole recording, in slices with a pause between them so that progress
// shows and a newer file can take over.
async function decodeFile(tolvane, { samples, sampleRate, pitchHz, id }) {
  const job = ++fileJob;
  const decoder = tolvane.createDecoder({ sampleRate, pitchHz });
  const slice = sampleRate * 20;
  const started = now();
  try {
    for (let at = 0; at < samples.length; at += slice) {
      const events = decoder.push(samples.subarray(at, Math.min(samples.length, at + slice)));
      postMessage({ type: 'file', id, events, progress: Math.min(1, (at + slice) / samples.length),
        status: decoder.status() });
      await new Promise((resolve) => setTimeout(resolve, 0));
      if (job !== fileJob) return;
    }
    const events = decoder.flush();
    postMessage({ type: 'file', id, events, progress: 1, done: true, status: decoder.status(),
      seconds: (now() - started) / 1000 });
  } finally {
    decoder.close();
  }
}
