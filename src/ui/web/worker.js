// The engine's side of the page: runs in a Web Worker, so the page never
// freezes. Reads the chosen files in slices (FileReaderSync) and gathers
// each output into a Blob, so memory stays bounded whatever the file size.
"use strict";

let files = new Map();   // tagged path -> { file, start, bytes }: the file and the slice read last
let asked = null, answered = false;  // the question the run met, and the answer it runs with
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

// Progress of a long operation, counted in what is really read, never in
// what is passed on as a slice or skipped. Making reads its inputs through,
// once each (a BPS patch: twice, for its checksums and its index): how far
// each has got, pass by pass; a read beside a file's start after most of it
// was seen begins another pass. Applying first checks the patch (and with
// UPS and BPS, where the original is not theirs as it is, what it is)
// before any output is opened: that part
// counts the bytes it reads, whatever it skips; then the patch is read
// through once more while the result is written, and its position tells.
let progress = null;
function report() {
  let done = 0, total = 0;
  for (const i of progress.inputs.values()) {
    done += i.done + i.at;
    total += i.size * i.passes;
  }
  if (progress.apply) {
    const a = progress.apply;
    done = a.writing ? a.checked + a.at : a.checked;
    total = a.writing ? a.checked + a.patchSize : a.planned + a.patchSize;
  }
  const fraction = Math.min(0.99, done / (total || 1));
  if (fraction <= progress.shown) return;
  progress.shown = fraction;
  const now = Date.now();
  // Ten messages a second at most, but never a twentieth of the way unsaid:
  // a stretch that goes by faster still moves the bar.
  if (now - progress.sent < 100 && fraction - progress.posted < 0.05) return;
  progress.sent = now;
  progress.posted = fraction;
  self.postMessage({ type: "progress", fraction });
}
function reached(path, start, end) {
  if (!progress) return;
  const a = progress.apply;
  if (a) {
    if (!a.writing) a.checked += end - start;
    else if (path.startsWith(a.patch)) a.at = Math.max(a.at, end);
    return report();
  }
  const input = progress.inputs.get(path) ?? progress.inputs.get(path.slice(0, path.indexOf("\u0002") + 1));
  if (!input) return;
  if (start < Math.min(64 << 10, input.size / 8) && input.at > input.size / 2) {
    input.done += input.at;
    input.at = 0;
    if (++input.pass >= input.passes) ++input.passes;  // more than planned: the bar waits rather than lies
  }
  input.at = Math.max(input.at, Math.min(end, input.size));
  report();
}

// Bytes rewritten behind an output's end are kept in the order written and
// laid out once, when the output is complete: later writes win where they
// overlap. Laid out latest first, each write takes only the stretches no
// later one took, found by a union-find over the writes' boundaries, so any
// order of any number of writes costs little more than sorting them.
function layOut(writes) {
  const all = new Float64Array(writes.length * 2);
  writes.forEach((w, i) => {
    all[2 * i] = w.offset;
    all[2 * i + 1] = w.offset + w.bytes.length;
  });
  all.sort();
  let count = 0;
  for (let i = 0; i < all.length; ++i) if (i === 0 || all[i] !== all[i - 1]) all[count++] = all[i];
  const cuts = all.subarray(0, count);
  const index = (at) => {
    let lo = 0, hi = count - 1;
    while (lo < hi) {
      const mid = (lo + hi) >> 1;
      if (cuts[mid] < at) lo = mid + 1; else hi = mid;
    }
    return lo;
  };
  const owner = new Int32Array(count).fill(-1);  // the write that holds the stretch [cuts[k], cuts[k + 1])
  const next = Int32Array.from(cuts, (_, k) => k);  // the first stretch at or after k not yet taken
  const free = (k) => {
    let root = k;
    while (next[root] !== root) root = next[root];
    while (next[k] !== root) {
      const after = next[k];
      next[k] = root;
      k = after;
    }
    return root;
  };
  for (let w = writes.length - 1; w >= 0; --w) {
    const end = index(writes[w].offset + writes[w].bytes.length);
    for (let k = free(index(writes[w].offset)); k < end; k = free(k)) {
      owner[k] = w;
      next[k] = k + 1;
    }
  }
  const pieces = [];
  for (let k = 0; k + 1 < cuts.length; ++k) {
    if (owner[k] < 0) continue;
    const w = writes[owner[k]];
    const bytes = w.bytes.subarray(cuts[k] - w.offset, cuts[k + 1] - w.offset);
    const last = pieces[pieces.length - 1];
    // Neighbouring stretches of one write are one piece again.
    if (last && last.write === owner[k] && last.offset + last.bytes.length === cuts[k])
      last.bytes = w.bytes.subarray(last.offset - w.offset, cuts[k + 1] - w.offset);
    else pieces.push({ offset: cuts[k], bytes, write: owner[k] });
  }
  return pieces;
}

// Bytes at the end of an output are gathered in a staging buffer and go
// into a Blob of their own 32 MiB at a time: the browser keeps them (in
// memory or on disk, as it sees fit), and handing it a Blob costs per Blob
// as much as per byte (a 4 MiB Blob took twice as long a byte as a 32 MiB
// one in Chromium). Slices of the inputs ride along at no cost.
const STAGING = 32 << 20;
let staging = null;  // one output is written at a time
function settle(out) {
  if (!out.staged) return;
  out.parts.push(new Blob([staging.subarray(0, out.staged)]));
  out.staged = 0;
}
function append(out, part, size) {
  out.size += size;
  if (part instanceof Blob) {
    settle(out);
    out.parts.push(part);
    return;
  }
  staging ??= new Uint8Array(STAGING);
  for (let from = 0; from < part.length;) {
    const n = Math.min(part.length - from, STAGING - out.staged);
    staging.set(part.subarray(from, from + n), out.staged);
    out.staged += n;
    from += n;
    if (out.staged === STAGING) settle(out);
  }
}

self.zelk = {
  exists: (path) => files.has(path),
  // The files of a role (the DATs the page keeps), by their tagged paths.
  filesIn: (prefix) => [...files.keys()].filter((path) => path.startsWith(prefix)).sort(),
  size: (path) => files.get(path).file.size,
  read(path, offset, into, length) {
    try {
      const input = files.get(path);
      if (!input.bytes || offset < input.start || offset + length > input.start + input.bytes.length) {
        input.bytes = null;  // let the old slice go before the next is read
        input.bytes = new Uint8Array(reader.readAsArrayBuffer(
          input.file.slice(offset, offset + Math.max(length, READ_AHEAD))));
        input.start = offset;
      }
      const from = offset - input.start;
      const bytes = input.bytes.subarray(from, Math.min(from + length, input.bytes.length));
      Module.HEAPU8.set(bytes, into);
      reached(path, offset, offset + bytes.length);
      return bytes.length;
    } catch (e) {
      return -1;
    }
  },
  // A scratch file (an archive's entry unpacked, the result of one patch of
  // several) is an output never offered.
  openOutput(path, scratch) {
    if (progress?.apply && !scratch) progress.apply.writing = true;
    for (const out of outputs) if (out) settle(out);  // the staging buffer is the new output's now
    outputs.push({ name: baseName(path), parts: [], size: 0, staged: 0, fixes: [] });
    return outputs.length - 1;
  },
  write(id, data, length, offset) {
    const out = outputs[id];
    if (offset === out.size) {
      append(out, Module.HEAPU8.subarray(data, data + length), length);
    } else {
      // Bytes rewritten behind the end (a header filled in late, blocks out
      // of order): laid over the finished Blob.
      out.fixes.push({ offset, bytes: Module.HEAPU8.slice(data, data + length) });
    }
  },
  copy(id, path, offset, length) {
    append(outputs[id], files.get(path).file.slice(offset, offset + length), length);
    reached(path, offset, offset + length);
  },
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
  // Bytes written before, for a BPS patch that copies from its own output:
  // read from the Blob gathered so far, a large slice at a time (bytes once
  // written never change there), with rewritten bytes laid over them.
  readBack(id, into, length, offset) {
    try {
      const out = outputs[id];
      const cache = out.cache;
      if (!cache || offset < cache.start || offset + length > cache.start + cache.bytes.length) {
        out.cache = null;
        const end = Math.min(out.size, offset + Math.max(length, 4 << 20));
        settle(out);
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
  // Gives the finished output to the page, rewritten bytes laid over it;
  // false when the browser could not read what it needed for that.
  closeOutput(id, keep) {
    const out = outputs[id];
    if (keep) settle(out);
    outputs[id] = null;
    if (!keep) return true;
    const whole = new Blob(out.parts);
    const parts = [];
    let at = 0;
    const pieces = layOut(out.fixes);
    try {
      for (let i = 0; i < pieces.length;) {
        // Pieces close together are laid over one read of what lies under
        // them: a Blob of a million tiny parts is slow to make and to save.
        const start = pieces[i].offset;
        let j = i + 1, end = start + pieces[i].bytes.length;
        while (j < pieces.length && pieces[j].offset - end <= (64 << 10) &&
               pieces[j].offset + pieces[j].bytes.length - start <= (4 << 20))
          end = pieces[j].offset + pieces[j++].bytes.length;
        let bytes = pieces[i].bytes;
        if (j > i + 1) {
          bytes = new Uint8Array(reader.readAsArrayBuffer(whole.slice(start, end)));
          for (let k = i; k < j; ++k) bytes.set(pieces[k].bytes, pieces[k].offset - start);
        }
        parts.push(whole.slice(at, start), bytes);
        at = end;
        i = j;
      }
    } catch (e) {
      return false;
    }
    parts.push(whole.slice(at));
    self.postMessage({ type: "output", name: out.name, blob: new Blob(parts, { type: "application/octet-stream" }) });
    return true;
  },
  // A question the run met (the result's header checksum): answered as the
  // page asked the run to, and told to the page with the run's end.
  ask(question) {
    asked = question;
    return Boolean(answered);
  },
  message(text, critical) {
    self.postMessage({ type: "message", text: untagged(text), critical });
  },
};

// Requests that arrive while the engine is still loading wait for it.
const waiting = [];
let ready = false;
var Module = {
  locateFile: (name) => (self.zelkBase ?? "") + name,
  onRuntimeInitialized() {
    ready = true;
    waiting.splice(0).forEach(handle);
  },
};
importScripts((self.zelkBase ?? "") + "zelkpatch.js");

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
  // A call on one file, under its role's tag: its text, untagged.
  const onOne = (role, file, call) => {
    const name = tagged(role, file.name);
    files = new Map([[name, { file }]]);
    const text = withStrings([name], (p) => Module.UTF8ToString(call(p)));
    files = new Map();
    return untagged(text);
  };
  // The size and hashes of a ROM, for a hack's page being made.
  if (request.type === "hashes") {
    self.postMessage({ type: "hashes", id: request.id, text: onOne("original", request.file, _zelk_hashes) });
    return;
  }
  // The files to choose from in an archive chosen for a field.
  if (request.type === "choices") {
    const text = onOne(request.role, request.file, (p) => _zelk_choices(p, request.role === "patch" ? 1 : 0));
    self.postMessage({ type: "choices", role: request.role, file: request.file, names: text ? text.split("\n") : [] });
    return;
  }
  // Each field's path, and the file chosen for it, under the field's role;
  // the call's arguments are the fields' texts, in the order the page gives.
  // A field may name a file inside an archive ("hack.zip/hack.bps"), the
  // patch field several files: each file goes under its own name, and the
  // engine tags each path the field names.
  const f = request.fields;
  // A file chosen is a File; one the page fetched comes { blob, name }.
  const chosenFiles = Object.fromEntries(Object.entries(request.files).map(([role, list]) =>
    [role, list.map((file) => (file instanceof Blob ? { blob: file, name: file.name } : file))]));
  files = new Map(Object.entries(chosenFiles).flatMap(([role, list]) =>
    list.map((file) => [tagged(role, file.name), { file: file.blob }])));
  const tag = (role) => withStrings([f[role], tagged(role, "")], (t, g) => Module.UTF8ToString(_zelk_tag_paths(t, g)));
  const args = request.arguments.map((role) => (request.paths.includes(role) ? tag(role) : f[role]));
  const call = (...pointers) => Module[`_zelk_${request.type}`](...pointers);
  outputs = [];
  if (request.type === "check") {
    const text = withStrings(args, (...pointers) => Module.UTF8ToString(call(...pointers)));
    files = new Map();
    self.postMessage({ type: "checked", text: untagged(text), id: request.id });
    return;
  }
  // A zip of the files the page gives, each under its name in the zip.
  if (request.type === "zip") {
    const members = (chosenFiles.member ?? []).map((m) => `${m.name}\t${tagged("member", m.name)}`).join("\n");
    const status = withStrings([tagged("changed", f.changed), members], (o, m) => _zelk_zip(o, m));
    staging = null;
    files = new Map();
    self.postMessage({ type: "finished", ok: status === 0, status, heap: Module.HEAPU8.length });
    return;
  }
  const size = (role) => (chosenFiles[role] ?? []).reduce((sum, file) => sum + file.blob.size, 0);
  const applying = request.type !== "make";
  // How the engine will read, as the patch's format tells it: asked before
  // anything is counted. A hack's page reads the ROM once more first, for
  // its hashes.
  const passes = withStrings([tag("patch")], (p) => _zelk_passes(p, applying ? 0 : 1)) +
                 (request.type === "hack_apply" ? 1 : 0);
  progress = { inputs: new Map(), shown: 0, sent: 0, posted: 0, apply: null };
  if (applying) {
    progress.apply = { patch: tagged("patch", ""), patchSize: size("patch"), checked: 0, at: 0, writing: false,
                       planned: size("patch") + passes * size("original") };
  } else {
    for (const role of ["original", "changed"])
      if (request.files[role]) progress.inputs.set(tagged(role, ""), { size: size(role), passes, pass: 0, done: 0, at: 0 });
  }
  asked = null;
  answered = request.answer === true;
  const status = withStrings(args, (...pointers) => (applying ? call(...pointers, request.anyway ? 1 : 0)
                                                               : call(...pointers)));
  progress = null;
  staging = null;  // 32 MiB not kept between operations
  files = new Map();
  self.postMessage({ type: "finished", ok: status === 0, status, heap: Module.HEAPU8.length, asked });
}
