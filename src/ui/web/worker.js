// The engine's side of the page: runs in a Web Worker, so the page never
// freezes. Reads the chosen files in slices (FileReaderSync) and gathers
// each output into a Blob, so memory stays bounded whatever the file size.
"use strict";

let files = new Map();   // field text -> File
let outputs = [];        // open outputs: { name, parts, pending, pendingBytes, size, fixes }
const reader = new FileReaderSync();
const KEEP_IN_ARRAYS = 32 << 20;  // bytes gathered before they become part of a Blob

function baseName(path) {
  return path.split(/[\\/]/).pop() || "output";
}

function seal(out) {
  if (out.pending.length) {
    out.parts.push(new Blob(out.pending));
    out.pending = [];
    out.pendingBytes = 0;
  }
}

// Bytes at the end of an output.
function append(out, bytes) {
  out.pending.push(bytes);
  out.pendingBytes += bytes.length;
  out.size += bytes.length;
  if (out.pendingBytes >= KEEP_IN_ARRAYS) seal(out);
}

self.zelk = {
  exists: (path) => files.has(path),
  size: (path) => files.get(path).size,
  read(path, offset, into, length) {
    try {
      const file = files.get(path);
      const bytes = new Uint8Array(reader.readAsArrayBuffer(file.slice(offset, offset + length)));
      Module.HEAPU8.set(bytes, into);
      return bytes.length;
    } catch (e) {
      return -1;
    }
  },
  openOutput(path) {
    outputs.push({ name: baseName(path), parts: [], pending: [], pendingBytes: 0, size: 0, fixes: [] });
    return outputs.length - 1;
  },
  write(id, data, length, offset) {
    const out = outputs[id];
    const bytes = Module.HEAPU8.slice(data, data + length);
    if (offset === out.size) {
      append(out, bytes);
    } else {
      // A few bytes rewritten behind the end (a header filled in late):
      // laid over the finished Blob in order.
      out.fixes.push({ offset, bytes });
    }
  },
  resize(id, size) {
    const out = outputs[id];
    const zeros = new Uint8Array(Math.min(size - out.size, 16 << 20));
    while (out.size < size) append(out, zeros.subarray(0, Math.min(size - out.size, zeros.length)));
  },
  closeOutput(id, keep) {
    const out = outputs[id];
    outputs[id] = null;
    if (!keep) return;
    seal(out);
    let blob = new Blob(out.parts, { type: "application/octet-stream" });
    for (const fix of out.fixes)
      blob = new Blob([blob.slice(0, fix.offset), fix.bytes, blob.slice(fix.offset + fix.bytes.length)]);
    self.postMessage({ type: "output", name: out.name, blob });
  },
  message(text, critical) {
    self.postMessage({ type: "message", text, critical });
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
  files = new Map(Object.entries(request.files));
  outputs = [];
  const f = request.fields;
  const status = request.type === "make"
    ? withStrings([f.original, f.changed, f.patch, f.comment], (a, b, c, d) => _zelk_make(a, b, c, d))
    : withStrings([f.original, f.changed, f.patch], (a, b, c) => _zelk_apply(a, b, c));
  files = new Map();
  self.postMessage({ type: "finished", ok: status === 0, heap: Module.HEAPU8.length });
}
