// Files in and out: the score as text, the music as a WAV file (44100 Hz
// mono 16-bit, as velomira-song render writes it), and scores dropped on
// the page.

export function download(name, blob) {
  const link = document.createElement('a');
  link.href = URL.createObjectURL(blob);
  link.download = name;
  document.body.appendChild(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(link.href), 10000);
}

export function wavBlob(samples) {
  const header = new DataView(new ArrayBuffer(44));
  const text = (at, s) => { for (let i = 0; i < 4; ++i) header.setUint8(at + i, s.charCodeAt(i)); };
  const bytes = samples.length * 2;
  text(0, 'RIFF'); header.setUint32(4, 36 + bytes, true); text(8, 'WAVE');
  text(12, 'fmt '); header.setUint32(16, 16, true); header.setUint16(20, 1, true); header.setUint16(22, 1, true);
  header.setUint32(24, 44100, true); header.setUint32(28, 88200, true); header.setUint16(32, 2, true);
  header.setUint16(34, 16, true);
  text(36, 'data'); header.setUint32(40, bytes, true);
  // Samples are little-endian in a WAV, as in the browser's memory.
  const body = new Uint8Array(samples.buffer, samples.byteOffset, bytes);
  return new Blob([header, body], { type: 'audio/wav' });
}

// Calls open(name, text) for a score file dropped anywhere on the page.
export function acceptDrops(target, open) {
  const hasFile = (e) => e.dataTransfer && Array.from(e.dataTransfer.types).includes('Files');
  target.addEventListener('dragover', (e) => {
    if (!hasFile(e)) return;
    e.preventDefault();
    e.stopPropagation();
    document.body.classList.add('dropping');
  }, true);
  target.addEventListener('dragleave', () => document.body.classList.remove('dropping'), true);
  target.addEventListener('drop', async (e) => {
    if (!hasFile(e)) return;
    e.preventDefault();
    e.stopPropagation();
    document.body.classList.remove('dropping');
    const file = e.dataTransfer.files[0];
    if (file) open(file.name, await file.text());
  }, true);
}
