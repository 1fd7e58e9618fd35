// Runs on the audio thread: gathers the microphone's samples into blocks
// and hands each to the decoder's worker over its own MessagePort, so the
// main thread never carries them and no shared memory is needed.
class CaptureProcessor extends AudioWorkletProcessor {
  constructor(options) {
    super();
    this.size = options.processorOptions.blockSize;
    this.block = new Float32Array(this.size);
    this.used = 0;
    this.target = null;
    this.running = true;
    this.port.onmessage = (event) => {
      if (event.data.port) this.target = event.data.port;
      if (event.data.stop) this.running = false;
    };
  }

  process(inputs) {
    const channels = inputs[0];
    if (!this.running) return false;
    if (!channels || channels.length === 0 || !this.target) return true;
    const frames = channels[0].length;
    for (let i = 0; i < frames; i++) {
      // A stereo microphone is heard as the mean of its channels.
      let sum = 0;
      for (let c = 0; c < channels.length; c++) sum += channels[c][i];
      this.block[this.used++] = sum / channels.length;
      if (this.used === this.size) {
        this.target.postMessage(this.block, [this.block.buffer]);
        this.block = new Float32Array(this.size);
        this.used = 0;
      }
    }
    return true;
  }
}

registerProcessor('tolvane-capture', CaptureProcessor);
