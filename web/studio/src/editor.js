// The score's editor: CodeMirror with line numbers, the score's
// highlighting, and the checker's findings as lint diagnostics at their
// lines. check(text) is called 150 ms after the last change and returns the
// findings ({ line, kind, message }, line 0 for the whole score).
import { defaultKeymap, history, historyKeymap, indentWithTab } from '@codemirror/commands';
import { bracketMatching } from '@codemirror/language';
import { forEachDiagnostic, lintGutter, linter } from '@codemirror/lint';
import { EditorState } from '@codemirror/state';
import {
  EditorView, drawSelection, highlightActiveLine, highlightActiveLineGutter, keymap, lineNumbers,
} from '@codemirror/view';

import { scoreHighlighting } from './score-mode.js';

export const CheckDelayMs = 150;

const theme = EditorView.theme({
  '&': { height: '100%', backgroundColor: '#11131a', color: '#c8ccd8', fontSize: '13px' },
  '.cm-scroller': { fontFamily: 'ui-monospace, "DejaVu Sans Mono", monospace', lineHeight: '1.45' },
  '.cm-gutters': { backgroundColor: '#0c0e13', color: '#4b5263', border: 'none' },
  '.cm-activeLine': { backgroundColor: '#1a1e29' },
  '.cm-activeLineGutter': { backgroundColor: '#1a1e29', color: '#8a93a8' },
  '.cm-content': { caretColor: '#fff' },
  '&.cm-focused .cm-cursor': { borderLeftColor: '#fff' },
  '.cm-tooltip': { backgroundColor: '#1f2330', color: '#dde', border: '1px solid #333a4d' },
  '.cm-diagnostic': { whiteSpace: 'pre-wrap', fontFamily: 'ui-monospace, monospace', fontSize: '12px' },
}, { dark: true });

function diagnostics(view, findings) {
  const doc = view.state.doc;
  return findings.map((f) => {
    const line = f.line >= 1 && f.line <= doc.lines ? doc.line(f.line) : doc.line(1);
    return { from: line.from, to: line.to, severity: f.kind, message: f.message, source: 'check' };
  });
}

export function createEditor(parent, text, check) {
  return new EditorView({
    parent,
    state: EditorState.create({
      doc: text,
      extensions: [
        lineNumbers(), highlightActiveLineGutter(), history(), drawSelection(), highlightActiveLine(),
        bracketMatching(), keymap.of([...defaultKeymap, ...historyKeymap, indentWithTab]),
        scoreHighlighting, theme,
        linter((view) => diagnostics(view, check(view.state.doc.toString())), { delay: CheckDelayMs }),
        lintGutter(),
      ],
    }),
  });
}

export function replaceText(view, text) {
  view.dispatch({ changes: { from: 0, to: view.state.doc.length, insert: text } });
}

// The diagnostics shown: { line, severity, message }.
export function shownDiagnostics(view) {
  const shown = [];
  forEachDiagnostic(view.state, (d, from) =>
    shown.push({ line: view.state.doc.lineAt(from).number, severity: d.severity, message: d.message }));
  return shown;
}
