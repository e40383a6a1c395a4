// Shared links: the score itself in the address's fragment, compressed with
// deflate-raw and written in base64url, as "#score=...". The player page
// (index.html, which imports this file as it stands: no imports here) and
// the studio both open such links.

// The longest link offered; past it the score goes as a file.
export const MaxLinkBytes = 8 * 1024;
// The largest score a link may hold once inflated, as for the tools' files.
const MaxScoreBytes = 16 << 20;

async function streamBytes(bytes, transform) {
  const stream = new Blob([bytes]).stream().pipeThrough(transform);
  return new Uint8Array(await new Response(stream).arrayBuffer());
}

export async function encodeScore(text) {
  const bytes = await streamBytes(new TextEncoder().encode(text), new CompressionStream('deflate-raw'));
  let binary = '';
  for (let i = 0; i < bytes.length; i += 0x8000) binary += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
  return btoa(binary).replace(/\+/g, '-').replace(/\//g, '_').replace(/=+$/, '');
}

// The score of a fragment, null when it carries none; throws on a damaged one.
export async function decodeFragment(hash) {
  const match = /^#score=([A-Za-z0-9_-]+)$/.exec(hash);
  if (!match) return null;
  const base64 = match[1].replace(/-/g, '+').replace(/_/g, '/');
  const bytes = Uint8Array.from(atob(base64 + '='.repeat((4 - base64.length % 4) % 4)), (c) => c.charCodeAt(0));
  // A short link can inflate to gigabytes: no more than the tools' largest score.
  const reader = new Blob([bytes]).stream().pipeThrough(new DecompressionStream('deflate-raw')).getReader();
  const parts = [];
  let size = 0;
  for (;;) {
    const { done, value } = await reader.read();
    if (done) break;
    size += value.length;
    if (size > MaxScoreBytes) {
      reader.cancel();
      throw new Error('it holds more than 16 MB');
    }
    parts.push(value);
  }
  return new TextDecoder().decode(await new Blob(parts).arrayBuffer());
}

// { player, studio } links to the score, or { tooLarge: bytes } when the
// player's link would be longer than MaxLinkBytes.
export async function shareLinks(text, here) {
  const fragment = '#score=' + await encodeScore(text);
  const player = new URL('index.html', here).href + fragment;
  if (player.length > MaxLinkBytes) return { tooLarge: player.length };
  return { player, studio: new URL('studio.html', here).href + fragment };
}
