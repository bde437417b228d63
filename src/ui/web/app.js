// The page: the same form as the window, its engine in a Web Worker.
"use strict";

// The engine's worker, and checks in a worker of their own, so that they
// never hold up a button. A worker that fails is replaced (below).
let worker = null;
let checker = null;
const $ = (id) => document.getElementById(id);
// The form as the page describes it: each field marked with its role (which
// argument of the engine's calls its text is), each button with its call
// and the roles of that call's arguments.
const fields = new Map([...document.querySelectorAll("[data-role]")].map((f) => [f.dataset.role, f]));
const pathRoles = [...fields.keys()].filter((role) => fields.get(role).type === "text");
const chosen = new Map();  // role -> the Files chosen for its field (the patch field's may be several)
const formButtons = [...document.querySelectorAll("[data-command]")];
// Every button an operation holds back while it runs; a hack's page adds its own.
const buttons = [...formButtons];

// Messages one at a time, each waiting for its OK, as in the window.
const dialog = $("message");
let queue = Promise.resolve();
// A question is the same dialog with Yes and No, No focused; closing it any
// other way (Escape) is No. Given `list`, it offers those to choose one
// (OK), and answers the one chosen; Escape chooses none.
function show(text, critical, question = false, list = null) {
  let answer = false;
  queue = queue.then(() => new Promise((resolve) => {
    const select = $("message-list");
    select.replaceChildren(...(list ?? []).map((name) => new Option(name, name)));
    select.hidden = !list;
    if (list) select.selectedIndex = 0;
    $("message-text").textContent = text;
    $("message-icon").hidden = !critical;
    $("message-ok").hidden = question;
    $("message-yes").hidden = $("message-no").hidden = !question;
    dialog.classList.toggle("critical", critical);
    dialog.addEventListener("close", () => {
      answer = list ? (dialog.returnValue === "ok" ? select.value : null) : dialog.returnValue === "yes";
      resolve();
    }, { once: true });
    dialog.returnValue = "";
    dialog.showModal();
    $(list ? "message-list" : question ? "message-no" : "message-ok").focus();
  }));
  return queue.then(() => answer);
}
$("message-ok").addEventListener("click", () => dialog.close("ok"));
$("message-list").addEventListener("dblclick", () => dialog.close("ok"));
$("message-list").addEventListener("keydown", (e) => {
  if (e.key === "Enter") {
    e.preventDefault();
    dialog.close("ok");
  }
});
$("message-yes").addEventListener("click", () => dialog.close("yes"));
$("message-no").addEventListener("click", () => dialog.close("no"));

function offer(name, blob) {
  const link = document.createElement("a");
  link.href = URL.createObjectURL(blob);
  link.download = name;
  document.body.append(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(link.href), 60000);
}

// Inputs are the files chosen for the fields whose text still names them
// (or a file inside one, "hack.zip/hack.bps"), each under its field's
// role: two files of the same name stay two files.
function inputFiles() {
  const files = {};
  for (const role of pathRoles) {
    const text = fields.get(role).value;
    const named = (chosen.get(role) ?? []).filter((file) => text === file.name || text.includes(`"${file.name}`) ||
                                                             text.startsWith(`${file.name}/`));
    if (named.length) files[role] = named;
  }
  return files;
}

// The DAT files the user keeps in this browser (its own storage, never
// sent anywhere), which name ROMs in every check and refusal: handed to the
// engine with every run, as files of their own role.
const DATS = "zelk-dats";
let dats = [];  // { blob, name }
async function loadDats() {
  try {
    // Opening the store would make an empty one: forgotten is gone.
    const cache = (await caches.has(DATS)) ? await caches.open(DATS) : null;
    dats = !cache ? [] : await Promise.all((await cache.keys()).map(async (request) => ({
      blob: await (await cache.match(request)).blob(), name: decodeURIComponent(new URL(request.url).pathname.split("/").pop()),
    })));
  } catch {
    dats = [];  // storage refused (a private window): no names, nothing else lost
  }
  $("dats-kept").textContent = dats.length ? `${dats.length} DAT file${dats.length > 1 ? "s" : ""} kept in this browser` : "";
  $("dats-forget").hidden = !dats.length;
}
loadDats();
$("dats-add").addEventListener("click", () => $("dats-file").click());
$("dats-file").addEventListener("change", async () => {
  const picker = $("dats-file");
  try {
    const cache = await caches.open(DATS);
    for (const file of picker.files) await cache.put(`dats/${encodeURIComponent(file.name)}`, new Response(file));
  } catch {
    show("This browser would not keep the DAT files (its storage is full or turned off).", true);
  }
  picker.value = "";
  await loadDats();
  checkFit();
});
$("dats-forget").addEventListener("click", async () => {
  await caches.delete(DATS).catch(() => {});
  await loadDats();
  checkFit();
});

// Each field's text by its role; a multi-line field's lines end in CR LF.
function fieldTexts() {
  const texts = {};
  for (const [role, field] of fields)
    texts[role] = field.type === "text" ? field.value : field.value.replace(/\r?\n/g, "\r\n");
  return texts;
}

// A call for the engine: its arguments' roles, every field's text, the
// paths' roles, and the files chosen.
function request(type, args, files) {
  return { type, arguments: args, fields: fieldTexts(), paths: pathRoles, files: dats.length ? { ...files, dat: dats } : files };
}

// A long operation shows how far it is, and a way to cancel it, after half a second.
const bar = $("progress");
const cancel = $("cancel");
let barTimer = null;

let running = null;
// The form back as it was before a button was pressed.
function release() {
  clearTimeout(barTimer);
  bar.hidden = cancel.hidden = true;
  buttons.forEach((b) => (b.disabled = false));
  document.body.classList.remove("busy");
}

// Ends the engine's worker where it stands, and with it the operation it
// ran, which is returned; a fresh worker starts with the next one.
function dropWorker() {
  worker?.terminate();
  worker = null;
  const done = running;
  running = null;
  release();
  return done;
}

// Cancel: the operation's outputs live only in its worker until "Done", so
// nothing is offered and nothing chosen is touched.
cancel.addEventListener("click", () => {
  if (running) dropWorker();
});

// A job: the engine's call, its arguments' roles, every field's text, the
// paths' roles and the files chosen (each a File, or { blob, name }).
function run(job, anyway = false) {
  if (running) return;
  running = { messages: [], outputs: [], job };
  buttons.forEach((b) => (b.disabled = true));
  document.body.classList.add("busy");
  bar.value = 0;
  barTimer = setTimeout(() => (bar.hidden = cancel.hidden = false), 500);
  startWorkers();
  worker.postMessage({ ...job, anyway });
}

// Whether the chosen patch fits the chosen original, said before anything
// is pressed; nothing while either is missing.
const status = $("fit");
let checks = 0;
function checkFit() {
  const files = inputFiles();
  const id = ++checks;
  if (!files.original || !files.patch) {
    status.textContent = "";
    return;
  }
  startWorkers();
  checker.postMessage({ ...request("check", ["original", "patch"], { original: files.original, patch: files.patch }), id });
}
// The hashes of a file, taken by the checker: the engine's lines, or "!"
// and why not.
const hashed = new Map();
let hashes = 0;
function hashesOf(file) {
  startWorkers();
  const id = ++hashes;
  checker.postMessage({ type: "hashes", file, id });
  return new Promise((resolve) => hashed.set(id, resolve));
}
async function onChecked(event) {
  const m = event.data;
  if (m.type === "choices") {
    // An archive holding several of what the field asks for: the one to use
    // is chosen from a list, and named through the archive.
    const field = fields.get(m.role);
    if (m.names.length < 2 || field.value !== m.file.name) return;
    const kind = m.role === "patch" ? "patches" : "files that could be the ROM";
    const name = await show(`${m.file.name} holds ${m.names.length} ${kind}. Choose the one to use:`, false, false, m.names);
    if (name && field.value === m.file.name) {
      field.value = `${m.file.name}/${name}`;
      checkFit();
    }
    return;
  }
  if (m.type === "hashes") {
    hashed.get(m.id)?.(m.text);
    hashed.delete(m.id);
    return;
  }
  if (m.id === checks) status.textContent = m.text;
}

async function onWorkerMessage(event) {
  const m = event.data;
  // What a cancelled worker still had on its way is not for anyone.
  if (m.type !== "composed" && !running) return;
  if (m.type === "composed") {
    fields.get("comment").value = m.comment.replace(/\r\n/g, "\n");
  } else if (m.type === "progress") {
    bar.value = m.fraction;
  } else if (m.type === "message") {
    running.messages.push(m);
  } else if (m.type === "output") {
    running.outputs.push(m);
  } else if (m.type === "finished") {
    const done = running;
    running = null;
    document.body.dataset.heap = String(m.heap);
    release();
    // A question the run met, asked now; Yes runs it again with that answer,
    // and what this run made is let go.
    if (m.ok && m.asked && !done.job.answer) {
      if (await show(m.asked, false, true)) return run({ ...done.job, answer: true });
    }
    // The last message is "Done" after success; the result is offered only
    // once everything before it (the patch's comment) has been read. An
    // operation that says nothing of its success offers it at once.
    if (m.ok && !done.messages.length) done.outputs.forEach((o) => offer(o.name, o.blob));
    for (let i = 0; i < done.messages.length; ++i) {
      if (m.ok && i === done.messages.length - 1) done.outputs.forEach((o) => offer(o.name, o.blob));
      await show(done.messages[i].text, done.messages[i].critical);
    }
    // Refused for the original's checksum, after the message naming both.
    if (m.status === 2 && await show(dialog.dataset.applyAnyway, false, true)) run(done.job, true);
  }
}

// The workers run worker.js's text from a blob: URL, not worker.js itself: a
// worker started from a file is under only what that file's response says
// (a static host sends no policy), one from a blob: URL is under this
// page's Content-Security-Policy, which lets nothing leave the machine. It
// loads the engine from the page's own address.
const workerCode = fetch("worker.js").then((response) => {
  if (!response.ok) throw new Error(response.statusText);
  return response.text();
}).then((text) => URL.createObjectURL(new Blob([`self.zelkBase = ${JSON.stringify(new URL(".", location.href).href)};\n${text}`],
                                              { type: "text/javascript" })));

// A worker that fails (it ran out of memory, its script could not load) is
// let go, and a fresh one started when next needed: what it said is shown,
// then that it stopped, and the form is back. Nothing it was writing is
// offered.
function startWorkers() {
  const failed = (which) => (event) => {
    event.preventDefault?.();
    if (which === "checker") {
      checker?.terminate();
      checker = null;
      status.textContent = "";
      hashed.forEach((answer) => answer("!The page's engine failed while it read the file. Try again, or reload the page."));
      hashed.clear();
      return;
    }
    const done = dropWorker();
    for (const m of done?.messages ?? []) show(m.text, m.critical);
    show("The operation stopped: the page's engine failed, and nothing was written. Try again, or reload the page.", true);
  };
  // Messages wait until the worker's code is there.
  const start = (onMessage, which) => {
    const pending = [];
    let real = null;
    workerCode.then((url) => {
      real = new Worker(url);
      real.onmessage = onMessage;
      real.onerror = real.onmessageerror = failed(which);
      pending.splice(0).forEach((m) => real.postMessage(m));
    }, () => failed(which)({}));
    return { postMessage: (m) => (real ? real.postMessage(m) : pending.push(m)), terminate: () => real?.terminate() };
  };
  worker ??= start(onWorkerMessage, "worker");
  checker ??= start(onChecked, "checker");
}
startWorkers();

// Fields at load hold their designed texts; the comment is composed from them once.
worker.postMessage({
  type: "compose",
  original: fields.get("original").value,
  changed: fields.get("changed").value,
});

for (const role of pathRoles) {
  const field = fields.get(role);
  const picker = $(field.id + "-file");
  // Only the original and the patch decide the status line.
  const checked = role !== "changed";
  // The patch field takes several files, in the order given, each quoted;
  // the others one.
  const take = (list) => {
    list = [...list];
    if (!list.length || (list.length > 1 && role !== "patch")) return;
    chosen.set(role, list);
    field.value = list.length === 1 ? list[0].name : list.map((file) => `"${file.name}"`).join(" ");
    if (checked) checkFit();
    if (checked && list.length === 1) {
      startWorkers();
      checker.postMessage({ type: "choices", role, file: list[0] });
    }
  };
  if (checked) field.addEventListener("input", checkFit);
  $(field.id + "-choose").addEventListener("click", () => picker.click());
  picker.addEventListener("change", () => {
    take(picker.files);
    picker.value = "";  // so that choosing the same file again counts too
  });
  field.addEventListener("dragover", (e) => e.preventDefault());
  field.addEventListener("drop", (e) => {
    e.preventDefault();
    take(e.dataTransfer.files);
  });
  // Enter in a path field presses nothing.
  field.addEventListener("keydown", (e) => {
    if (e.key === "Enter") e.preventDefault();
  });
}
// Tab in the comment moves on, as in the window (a textarea does so already).
// Where the browser's font is wider than the one the form was designed for,
// the whole form takes a smaller size, by the steps and down to the size
// the page names, until each caption's text fits the room the page gives it.
(function fitFont() {
  const form = $("form");
  const step = parseFloat(form.dataset.fontStep), smallest = parseFloat(form.dataset.fontSmallest);
  const captions = [...form.querySelectorAll("[data-room]")];
  const range = document.createRange();
  const fits = () => captions.every((c) => {
    range.selectNodeContents(c);
    return range.getBoundingClientRect().width <= parseFloat(c.dataset.room);
  });
  let points = parseFloat(getComputedStyle(form).fontSize) * 72 / 96;
  while (!fits() && points - step >= smallest) {
    points -= step;
    form.style.fontSize = `${points}pt`;
  }
})();
// On a screen narrower than the form (a phone), the form shrinks as one,
// keeping its designed proportions.
(function fitScreen() {
  const form = $("form");
  const width = form.offsetWidth, height = form.offsetHeight;
  const holder = $("form-holder");
  const fit = () => {
    const room = document.documentElement.clientWidth - 2 * parseFloat(getComputedStyle(document.body).marginLeft);
    const scale = Math.min(1, room / width);
    form.style.transform = scale < 1 ? `scale(${scale})` : "";
    holder.style.width = `${width * scale}px`;
    holder.style.height = `${height * scale}px`;
  };
  fit();
  addEventListener("resize", fit);
})();
// Installed as an app, the page keeps working offline; a new build's
// worker replaces the cached files of the old one.
// When a new build's service worker takes over a page that an older one
// served, the page reloads: its scripts and its engine then come from one
// build. Not while an operation runs: the reload waits for its end.
if ("serviceWorker" in navigator) {
  const servedBefore = Boolean(navigator.serviceWorker.controller);
  navigator.serviceWorker.addEventListener("controllerchange", () => {
    if (!servedBefore) return;
    const reload = () => (running ? setTimeout(reload, 500) : location.reload());
    reload();
  });
  navigator.serviceWorker.register("sw.js").catch(() => {});
}
document.querySelector("[autofocus]")?.focus();
for (const button of formButtons)
  button.addEventListener("click", () => run(request(button.dataset.command, button.dataset.arguments.split(" "), inputFiles())));
