// Highlighting of the score's line kinds (docs/song-format.md): tempo,
// instrument, pattern, track and show lines and comments, each head in its
// own colour, then the words and numbers of its fields. Blanks are skipped
// as the parser removes them; a line the parser would ignore stays plain.
import { HighlightStyle, StreamLanguage, syntaxHighlighting } from '@codemirror/language';
import { tags } from '@lezer/highlight';

const Waveforms = /^(kantti|sini|saha|kohina)$/;
const Commands = /^(echo0|echo1|stop|sld|vol)$/;
const ShowKinds = /^(row|cross|level|end)$/;
const Note = /^[a-gACDFG][1-6]$/;

// The head of a line, its kind and the token name the head gets.
const Heads = [
  [/^bpm:/, 'tempo', 'keyword'],
  [/^i\d+:/, 'instrument', 'typeName'],
  [/^p\d+:/, 'pattern', 'className'],
  [/^t\d+:/, 'track', 'labelName'],
  [/^show:/, 'show', 'macroName'],
];

function field(kind, word) {
  if (/^-?\d+$/.test(word)) return kind === 'track' ? 'invalid' : 'number';
  if (kind === 'instrument' && Waveforms.test(word)) return 'atom';
  if (kind === 'pattern' && Note.test(word)) return 'string';
  if (kind === 'pattern' && Commands.test(word)) return 'keyword';
  if (kind === 'track' && word === 'loop') return 'keyword';
  if (kind === 'track' && /^p\d+$/.test(word)) return 'variableName';
  if (kind === 'show' && ShowKinds.test(word)) return 'atom';
  return null;
}

export const scoreLanguage = StreamLanguage.define({
  name: 'velomira-score',
  startState: () => ({ kind: null }),
  token(stream, state) {
    if (stream.sol()) state.kind = null;
    if (stream.eatSpace()) return null;
    if (state.kind === null) {
      if (stream.match(/^[#;].*/)) return 'comment';
      const rest = stream.string.slice(stream.pos).replace(/ /g, '');
      for (const [head, kind, name] of Heads) {
        const found = head.exec(rest);
        if (!found) continue;
        // The head as written may hold blanks: take its characters one by one.
        let left = found[0].length;
        while (left > 0 && !stream.eol()) if (stream.next() !== ' ') --left;
        state.kind = kind;
        return name;
      }
      state.kind = 'ignored';
      stream.skipToEnd();
      return null;
    }
    if (stream.eat(',')) return 'punctuation';
    const word = stream.match(/^[^,\s]+/);
    return word ? field(state.kind, word[0]) : (stream.next(), null);
  },
});

const style = HighlightStyle.define([
  { tag: tags.comment, color: '#6a7387', fontStyle: 'italic' },
  { tag: tags.keyword, color: '#e0a458', fontWeight: 'bold' },
  { tag: tags.typeName, color: '#7cc4fa', fontWeight: 'bold' },
  { tag: tags.className, color: '#9ede73', fontWeight: 'bold' },
  { tag: tags.labelName, color: '#f28fad', fontWeight: 'bold' },
  { tag: tags.macroName, color: '#c9a0ff', fontWeight: 'bold' },
  { tag: tags.atom, color: '#ffd479' },
  { tag: tags.number, color: '#b5cea8' },
  { tag: tags.string, color: '#ffffff' },
  { tag: tags.variableName, color: '#9ede73' },
  { tag: tags.punctuation, color: '#5c6370' },
]);

export const scoreHighlighting = [scoreLanguage, syntaxHighlighting(style)];
