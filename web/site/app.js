// The receiving side of the page: the microphone through an AudioWorklet
// to the decoder's worker, files through decodeAudioData, the waterfall,
// and the decoded text.
import { Waterfall } from './waterfall.js';
import { setUpKeying } from './key.js';

const $ = (id) => document.getElementById(id);
const now = () => performance.timeOrigin + performance.now();
// Decoded text kept on the page; older text scrolls away.
const MAX_CHARACTERS = 4000;
// Samples per block from the worklet: about 43 ms at 48 kHz.
const BLOCK = 2048;

// What the measuring scripts and the tests read.
const stats = { latencies: [], held: [], firstLatency: null, fileSeconds: null, fileDone: 0 };
window.tolvanePage = stats;

const worker = new Worker(new URL('./decoder-worker.js', import.meta.url), { type: 'module' });
let chosenPitch = 0;
let listening = null;  // { context, stream, source, node, analyser }
let fileId = 0;

const waterfall = new Waterfall({
  canvas: $('waterfall'),
  tracked: $('tracked-mark'),
  chosen: $('chosen-mark'),
  onPick: (hz) => choosePitch(hz),
});

function say(message) {
  $('receive-status').textContent = message;
}

function pitchWords() {
  return chosenPitch ? `near ${chosenPitch} Hz` : 'at any pitch';
}

function choosePitch(hz) {
  chosenPitch = hz;
  $('any-pitch').disabled = hz === 0;
  if (listening) {
    worker.postMessage({ type: 'tune', pitchHz: hz });
    say(`Listening ${pitchWords()}.`);
  } else {
    say(hz ? `Decoding near ${hz} Hz. Listen, or open a file.` : 'Decoding at any pitch.');
  }
}

// --- Decoded text ------------------------------------------------------------

let lastSpace = true;

function show(events) {
  const out = $('decoded');
  let added = '';
  for (const e of events) {
    if (e.wordGap) {
      if (!lastSpace) added += ' ';
      lastSpace = true;
      continue;
    }
    lastSpace = false;
    added += e.text;
    const parts = [];
    if (e.wpm > 0) parts.push(`${Math.round(e.wpm)} WPM`);
    if (e.pitchHz > 0) parts.push(`${Math.round(e.pitchHz)} Hz`);
    if (e.snrDb !== null) parts.push(`SNR ${Math.round(e.snrDb)} dB`);
    $('stats').textContent = parts.join(' · ');
  }
  if (!added) return;
  out.append(added);
  if (out.textContent.length > MAX_CHARACTERS) out.textContent = out.textContent.slice(-MAX_CHARACTERS);
  out.scrollTop = out.scrollHeight;
}

$('clear').addEventListener('click', () => {
  $('decoded').textContent = '';
  $('stats').textContent = '';
  lastSpace = true;
});

worker.onmessage = ({ data }) => {
  if (data.type === 'live') {
    const shown = now();
    for (const e of data.events) {
      if (e.wordGap) continue;
      const latency = (shown - e.endedAt) / 1000;
      stats.latencies.push(latency);
      stats.held.push(e.heldFor);
      if (stats.firstLatency === null) stats.firstLatency = latency;
    }
    show(data.events);
    waterfall.setTracked(data.status.locked ? data.status.pitchHz : 0);
  } else if (data.type === 'file' && data.id === fileId) {
    show(data.events);
    waterfall.setTracked(data.status.locked ? data.status.pitchHz : 0);
    $('file-progress').value = data.progress;
    if (data.done) {
      stats.fileSeconds = data.seconds;
      stats.fileDone++;
      $('file-progress').hidden = true;
      say(`Decoded ${fileName} (${fileDuration.toFixed(1)} s of audio in ${data.seconds.toFixed(2)} s).`);
      document.body.dataset.file = 'done';
    }
  }
};

// --- Listening -----------------------------------------------------------------

async function startListening() {
  $('listen').disabled = true;
  try {
    // Echo cancellation, noise suppression and gain control are built for
    // speech; they chop and pump a keyed tone.
    const stream = await navigator.mediaDevices.getUserMedia({
      audio: { echoCancellation: false, noiseSuppression: false, autoGainControl: false,
        sampleRate: { ideal: 48000 } },
    });
    // At the microphone's own rate, so nothing resamples it; a long output
    // buffer, since the text is a second behind anyway and the audio
    // thread then wakes less often.
    // ?rate=48000 asks for another rate, which the browser resamples to.
    const asked = Number(new URLSearchParams(location.search).get('rate'));
    const sampleRate = asked || stream.getAudioTracks()[0].getSettings().sampleRate;
    let context;
    try {
      context = new AudioContext({ latencyHint: 'playback', sampleRate });
    } catch {
      context = new AudioContext({ latencyHint: 'playback' });
    }
    await context.audioWorklet.addModule(new URL('./capture-worklet.js', import.meta.url));
    const source = context.createMediaStreamSource(stream);
    const node = new AudioWorkletNode(context, 'tolvane-capture', {
      numberOfOutputs: 1, processorOptions: { blockSize: BLOCK } });
    const channel = new MessageChannel();
    node.port.postMessage({ port: channel.port1 }, [channel.port1]);
    worker.postMessage({ type: 'listen', port: channel.port2, sampleRate: context.sampleRate,
      pitchHz: chosenPitch }, [channel.port2]);
    const analyser = context.createAnalyser();
    analyser.fftSize = 4096;
    source.connect(analyser);
    source.connect(node);
    // The node outputs silence; connected, so the graph keeps pulling it.
    node.connect(context.destination);
    await context.resume();
    listening = { context, stream, source, node, analyser };
    waterfall.attach(analyser);
    $('listen').textContent = 'Stop';
    $('listen').setAttribute('aria-pressed', 'true');
    document.body.dataset.listening = 'yes';
    say(`Listening ${pitchWords()} (${context.sampleRate} Hz).`);
  } catch (error) {
    say(error.name === 'NotAllowedError'
      ? 'The microphone was not allowed. Browsers give it only to pages from localhost or https.'
      : `No microphone: ${error.message}`);
  } finally {
    $('listen').disabled = false;
  }
}

async function stopListening() {
  const l = listening;
  listening = null;
  waterfall.detach();
  waterfall.setTracked(0);
  l.node.port.postMessage({ stop: true });
  worker.postMessage({ type: 'stop' });
  l.stream.getTracks().forEach((track) => track.stop());
  await l.context.close();
  $('listen').textContent = 'Listen';
  $('listen').setAttribute('aria-pressed', 'false');
  delete document.body.dataset.listening;
  say('Stopped listening.');
}

$('listen').addEventListener('click', () => (listening ? stopListening() : startListening()));
$('any-pitch').addEventListener('click', () => {
  waterfall.setChosen(0);
  choosePitch(0);
});

// --- Files -----------------------------------------------------------------------

let fileName = '';
let fileDuration = 0;
// The rate the native tool decodes at; the browser resamples to it.
const FILE_RATE = 8000;

async function openFile(file) {
  if (!file) return;
  fileName = file.name;
  const id = ++fileId;
  delete document.body.dataset.file;
  say(`Reading ${file.name}…`);
  let audio;
  try {
    const context = new OfflineAudioContext({ numberOfChannels: 1, length: 1, sampleRate: FILE_RATE });
    audio = await context.decodeAudioData(await file.arrayBuffer());
  } catch (error) {
    say(`Cannot read ${file.name} as audio${error && error.message ? `: ${error.message}` : ''}.`);
    return;
  }
  if (id !== fileId) return;
  // Mono as the mean of the channels, rounded to 16-bit steps, as the tool
  // reads every file; Chromium hands 16-bit samples over divided by 32767
  // when positive and 32768 when negative, and this gives them back.
  const samples = new Float32Array(audio.length);
  for (let c = 0; c < audio.numberOfChannels; c++) {
    const channel = audio.getChannelData(c);
    for (let i = 0; i < samples.length; i++) samples[i] += channel[i] / audio.numberOfChannels;
  }
  for (let i = 0; i < samples.length; i++) {
    const v = samples[i];
    samples[i] = Math.max(-32768, Math.min(32767, Math.round(v < 0 ? v * 32768 : v * 32767))) / 32768;
  }
  fileDuration = audio.duration;
  $('file-progress').value = 0;
  $('file-progress').hidden = false;
  say(`Decoding ${file.name}…`);
  worker.postMessage({ type: 'file', id, samples, sampleRate: FILE_RATE, pitchHz: chosenPitch }, [samples.buffer]);
}

$('file-input').addEventListener('change', (e) => {
  openFile(e.target.files[0]);
  e.target.value = '';
});
document.addEventListener('dragover', (e) => {
  e.preventDefault();
  document.body.classList.add('dragging');
});
document.addEventListener('dragleave', () => document.body.classList.remove('dragging'));
document.addEventListener('drop', (e) => {
  e.preventDefault();
  document.body.classList.remove('dragging');
  openFile(e.dataTransfer.files[0]);
});

setUpKeying();
document.body.dataset.ready = 'yes';
