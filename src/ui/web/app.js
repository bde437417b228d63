// The page: the same form as the window, its engine in a Web Worker.
"use strict";

const worker = new Worker("worker.js");
const $ = (id) => document.getElementById(id);
const pathFields = ["fldOrigRomFile", "fldChgRomFile", "fldOutPatchFile"];
const chosen = new Map();  // field id -> the File chosen for it
const buttons = ["Command2", "Command3"].map($);

// Messages one at a time, each waiting for its OK, as in the window.
const dialog = $("message");
let queue = Promise.resolve();
function show(text, critical) {
  queue = queue.then(() => new Promise((resolve) => {
    $("message-text").textContent = text;
    $("message-icon").hidden = !critical;
    dialog.classList.toggle("critical", critical);
    dialog.addEventListener("close", resolve, { once: true });
    dialog.showModal();
    $("message-ok").focus();
  }));
  return queue;
}
$("message-ok").addEventListener("click", () => dialog.close());

function offer(name, blob) {
  const link = document.createElement("a");
  link.href = URL.createObjectURL(blob);
  link.download = name;
  document.body.append(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(link.href), 60000);
}

// Inputs are the files chosen for the fields whose text still names them.
function inputFiles() {
  const files = {};
  for (const id of pathFields) {
    const file = chosen.get(id);
    if (file && $(id).value === file.name) files[file.name] = file;
  }
  return files;
}

let running = null;
function run(type) {
  if (running) return;
  const fields = {
    original: $("fldOrigRomFile").value,
    changed: $("fldChgRomFile").value,
    patch: $("fldOutPatchFile").value,
    comment: $("fldPatchComment").value.replace(/\r?\n/g, "\r\n"),
  };
  running = { messages: [], outputs: [] };
  buttons.forEach((b) => (b.disabled = true));
  document.body.classList.add("busy");
  worker.postMessage({ type, fields, files: inputFiles() });
}

worker.onmessage = async (event) => {
  const m = event.data;
  if (m.type === "composed") {
    $("fldPatchComment").value = m.comment.replace(/\r\n/g, "\n");
  } else if (m.type === "message") {
    running.messages.push(m);
  } else if (m.type === "output") {
    running.outputs.push(m);
  } else if (m.type === "finished") {
    const done = running;
    running = null;
    document.body.dataset.heap = String(m.heap);
    buttons.forEach((b) => (b.disabled = false));
    document.body.classList.remove("busy");
    // The last message is "Done" after success; the result is offered only
    // once everything before it (the patch's comment) has been read.
    for (let i = 0; i < done.messages.length; ++i) {
      if (m.ok && i === done.messages.length - 1) done.outputs.forEach((o) => offer(o.name, o.blob));
      await show(done.messages[i].text, done.messages[i].critical);
    }
  }
};

// Fields at load hold their designed texts; the comment is composed from them once.
worker.postMessage({
  type: "compose",
  original: $("fldOrigRomFile").value,
  changed: $("fldChgRomFile").value,
});

for (const id of pathFields) {
  const field = $(id);
  const picker = $(id + "-file");
  const take = (file) => {
    if (!file) return;
    chosen.set(id, file);
    field.value = file.name;
  };
  $(id + "-choose").addEventListener("click", () => picker.click());
  picker.addEventListener("change", () => {
    take(picker.files[0]);
    picker.value = "";  // so that choosing the same file again counts too
  });
  field.addEventListener("dragover", (e) => e.preventDefault());
  field.addEventListener("drop", (e) => {
    e.preventDefault();
    take(e.dataTransfer.files[0]);
  });
  // Enter in a path field presses nothing.
  field.addEventListener("keydown", (e) => {
    if (e.key === "Enter") e.preventDefault();
  });
}
// Tab in the comment moves on, as in the window (a textarea does so already).
// Where the browser's font is wider than the one the form was designed for,
// the whole form takes a smaller size, so that no caption is cut off.
(function fitFont() {
  const form = $("form");
  const captions = [...form.querySelectorAll("label, button:not(.choose)")];
  let size = parseFloat(getComputedStyle(form).fontSize);
  while (size > 7 && captions.some((c) => c.scrollWidth > c.clientWidth)) {
    size -= 0.5;
    form.style.fontSize = `${size}px`;
  }
})();
$("fldOrigRomFile").focus();
$("Command2").addEventListener("click", () => run("make"));
$("Command3").addEventListener("click", () => run("apply"));
