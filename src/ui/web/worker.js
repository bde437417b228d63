// The engine's side of the page: runs in a Web Worker, so the page never
// freezes. Reads the chosen files in slices (FileReaderSync) and gathers
// each output into a Blob, so memory stays bounded whatever the file size.
"use strict";

let files = new Map();   // tagged path -> { file, start, bytes }: the file and the slice read last
let outputs = [];        // open outputs: { name, parts, size, fixes }
const reader = new FileReaderSync();
// The browser reads a File fastest in large slices; the engine asks for
// small ones, which are served from the slice read last.
const READ_AHEAD = 16 << 20;

// The engine sees each field's path tagged with the field's role, so that
// two fields naming files of the same name still mean two files; the user
// sees the field's text.
const TAG = /\u0001[^\u0002]*\u0002/g;
const tagged = (role, text) => `\u0001${role}\u0002${text}`;
const untagged = (text) => text.replace(TAG, "");

function baseName(path) {
  return untagged(path).split(/[\\/]/).pop() || "output";
}

// Progress of a long operation: bytes read from the inputs, of all they hold.
let progress = null;  // { done, total, sent }
function advance(bytes) {
  if (!progress) return;
  progress.done += bytes;
  const now = Date.now();
  if (now - progress.sent < 100) return;
  progress.sent = now;
  self.postMessage({ type: "progress", fraction: Math.min(1, progress.done / progress.total) });
}

// Later writes win where they overlap: each is painted onto a sorted list
// of disjoint pieces, so a patch of many out-of-order blocks costs a search
// per block, not a pass over the output.
function paint(pieces, offset, bytes) {
  const end = offset + bytes.length;
  let lo = 0, hi = pieces.length;
  while (lo < hi) {
    const mid = (lo + hi) >> 1;
    if (pieces[mid].offset + pieces[mid].bytes.length <= offset) lo = mid + 1; else hi = mid;
  }
  let last = lo;
  const before = [], after = [];
  for (; last < pieces.length && pieces[last].offset < end; ++last) {
    const p = pieces[last];
    if (p.offset < offset) before.push({ offset: p.offset, bytes: p.bytes.subarray(0, offset - p.offset) });
    if (p.offset + p.bytes.length > end) after.push({ offset: end, bytes: p.bytes.subarray(end - p.offset) });
  }
  pieces.splice(lo, last - lo, ...before, { offset, bytes }, ...after);
}

// Bytes at the end of an output go straight into a Blob of their own: the
// browser keeps them (in memory or on disk, as it sees fit), nothing stays
// in the worker, and no copy is made on the way. Slices of the inputs ride
// along at no cost.
function append(out, part, size) {
  out.parts.push(part instanceof Blob ? part : new Blob([part]));
  out.size += size;
}

self.zelk = {
  exists: (path) => files.has(path),
  size: (path) => files.get(path).file.size,
  read(path, offset, into, length) {
    try {
      const input = files.get(path);
      if (!input.bytes || offset < input.start || offset + length > input.start + input.bytes.length) {
        input.bytes = null;  // let the old slice go before the next is read
        input.bytes = new Uint8Array(reader.readAsArrayBuffer(
          input.file.slice(offset, offset + Math.max(length, READ_AHEAD))));
        input.start = offset;
        advance(input.bytes.length);
      }
      const from = offset - input.start;
      const bytes = input.bytes.subarray(from, Math.min(from + length, input.bytes.length));
      Module.HEAPU8.set(bytes, into);
      return bytes.length;
    } catch (e) {
      return -1;
    }
  },
  openOutput(path) {
    outputs.push({ name: baseName(path), parts: [], size: 0, fixes: [] });
    return outputs.length - 1;
  },
  write(id, data, length, offset) {
    const out = outputs[id];
    if (offset === out.size) {
      append(out, Module.HEAPU8.subarray(data, data + length), length);
    } else {
      // Bytes rewritten behind the end (a header filled in late, blocks out
      // of order): laid over the finished Blob.
      paint(out.fixes, offset, Module.HEAPU8.slice(data, data + length));
    }
  },
  copy(id, path, offset, length) {
    append(outputs[id], files.get(path).file.slice(offset, offset + length), length);
    advance(length);
  },
  // Bytes written before, for a BPS patch that copies from its own output:
  // read from the Blob gathered so far, a large slice at a time (bytes once
  // written never change there), with rewritten bytes laid over them.
  // Whether a File is still readable as it was chosen: the browser refuses
  // a read once the file has changed on disk. The result's slices of it are
  // read only when the result is saved, so "Done" waits for this.
  unchanged(path) {
    try {
      const file = files.get(path).file;
      reader.readAsArrayBuffer(file.slice(0, Math.min(1, file.size)));
      return true;
    } catch (e) {
      return false;
    }
  },
  readBack(id, into, length, offset) {
    try {
      const out = outputs[id];
      const cache = out.cache;
      if (!cache || offset < cache.start || offset + length > cache.start + cache.bytes.length) {
        out.cache = null;
        const end = Math.min(out.size, offset + Math.max(length, 4 << 20));
        out.cache = { start: offset, bytes: new Uint8Array(reader.readAsArrayBuffer(new Blob(out.parts).slice(offset, end))) };
      }
      const from = offset - out.cache.start;
      const bytes = out.cache.bytes.slice(from, from + length);
      for (const fix of out.fixes) {
        const lo = Math.max(fix.offset, offset), hi = Math.min(fix.offset + fix.bytes.length, offset + length);
        if (lo < hi) bytes.set(fix.bytes.subarray(lo - fix.offset, hi - fix.offset), lo - offset);
      }
      Module.HEAPU8.set(bytes, into);
      return bytes.length;
    } catch (e) {
      return -1;
    }
  },
  resize(id, size) {
    const out = outputs[id];
    const zeros = new Uint8Array(Math.min(size - out.size, 16 << 20));
    while (out.size < size) {
      const part = zeros.subarray(0, Math.min(size - out.size, zeros.length));
      append(out, part, part.length);
    }
  },
  closeOutput(id, keep) {
    const out = outputs[id];
    outputs[id] = null;
    if (!keep) return;
    const whole = new Blob(out.parts);
    const parts = [];
    let at = 0;
    for (const fix of out.fixes) {
      parts.push(whole.slice(at, fix.offset), fix.bytes);
      at = fix.offset + fix.bytes.length;
    }
    parts.push(whole.slice(at));
    self.postMessage({ type: "output", name: out.name, blob: new Blob(parts, { type: "application/octet-stream" }) });
  },
  message(text, critical) {
    self.postMessage({ type: "message", text: untagged(text), critical });
  },
};

// Requests that arrive while the engine is still loading wait for it.
const waiting = [];
let ready = false;
var Module = {
  locateFile: (name) => name,
  onRuntimeInitialized() {
    ready = true;
    waiting.splice(0).forEach(handle);
  },
};
importScripts("zelkpatch.js");

function withStrings(strings, call) {
  const pointers = strings.map((s) => {
    const size = Module.lengthBytesUTF8(s) + 1;
    const at = _malloc(size);
    Module.stringToUTF8(s, at, size);
    return at;
  });
  try {
    return call(...pointers);
  } finally {
    pointers.forEach((p) => _free(p));
  }
}

self.onmessage = (event) => (ready ? handle(event.data) : waiting.push(event.data));

function handle(request) {
  if (request.type === "compose") {
    const comment = withStrings([request.original, request.changed], (a, b) =>
      Module.UTF8ToString(_zelk_default_comment(a, b)));
    self.postMessage({ type: "composed", comment });
    return;
  }
  // Each field's path, and the file chosen for it, under the field's role;
  // the call's arguments are the fields' texts, in the order the page gives.
  const f = request.fields;
  files = new Map(Object.entries(request.files).map(([role, file]) => [tagged(role, f[role]), { file }]));
  const args = request.arguments.map((role) => (request.paths.includes(role) ? tagged(role, f[role]) : f[role]));
  const call = (...pointers) => Module[`_zelk_${request.type}`](...pointers);
  outputs = [];
  if (request.type === "check") {
    const text = withStrings(args, (...pointers) => Module.UTF8ToString(call(...pointers)));
    files = new Map();
    self.postMessage({ type: "checked", text: untagged(text), id: request.id });
    return;
  }
  // Making reads both files once; applying reads the original once and the
  // patch twice (checked whole first).
  const size = (role) => request.files[role]?.size ?? 0;
  const total = request.type === "make" ? size("original") + size("changed") : size("original") + 2 * size("patch");
  progress = { done: 0, total: total || 1, sent: 0 };
  const status = withStrings(args, call);
  progress = null;
  files = new Map();
  self.postMessage({ type: "finished", ok: status === 0, heap: Module.HEAPU8.length });
}
