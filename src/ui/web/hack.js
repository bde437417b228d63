// A hack's own page, where hack.json lies beside the page: the player
// chooses a ROM and presses one button. And what makes such a page from
// the ordinary one. Both run on app.js's workers, dialogs and downloads.
"use strict";

// Text from hack.json is only ever set as text, never as markup.
function element(tag, text, attributes = {}) {
  const made = document.createElement(tag);
  if (text !== undefined) made.textContent = text;
  for (const [name, value] of Object.entries(attributes)) made.setAttribute(name, value);
  return made;
}

const describe = (rom) => [rom.size !== undefined ? `${rom.size} bytes` : null,
                           rom.crc32 ? `CRC-32 ${rom.crc32}` : rom.md5 ? `MD5 ${rom.md5}` : `SHA-1 ${rom.sha1}`]
  .filter(Boolean).join(", ");

// The ROM the player chose, or dropped onto the page.
function takeRom(onRom) {
  const picker = $("hack-file");
  $("hack-choose").addEventListener("click", () => picker.click());
  picker.addEventListener("change", () => {
    if (picker.files.length) onRom(picker.files[0]);
    picker.value = "";
  });
  document.addEventListener("dragover", (e) => e.preventDefault());
  document.addEventListener("drop", (e) => {
    e.preventDefault();
    if (e.dataTransfer.files.length === 1) onRom(e.dataTransfer.files[0]);
  });
}

function showHack(hack, patches) {
  document.title = hack.title;
  $("heading").textContent = hack.title;
  $("hack-description").textContent = hack.description;
  $("hack-originals").replaceChildren(...hack.originals.map((rom) => element("li", `${rom.name}: ${describe(rom)}`)));
  const ticks = [];
  hack.patches.forEach((patch, i) => {
    if (!patch.optional) return;
    const box = element("input", undefined, { type: "checkbox", id: `hack-option-${i}` });
    box.checked = patch.checked;
    ticks[i] = box;
    const row = element("div");
    row.append(box, element("label", patch.name, { for: box.id }));
    $("hack-options").append(row);
  });
  $("hack-options").hidden = !ticks.length;
  for (const id of ["form-holder", "fit", "dats", "builder-open", "builder"]) $(id).hidden = true;
  $("hack").hidden = false;

  let rom = null;
  takeRom((file) => {
    rom = file;
    $("hack-rom").textContent = `${file.name} (${file.size} bytes)`;
    $("hack-apply").disabled = false;
  });
  const apply = $("hack-apply");
  buttons.push($("hack-choose"));
  apply.addEventListener("click", () => {
    if (!rom) return;
    const chosen = hack.patches.map((patch, i) => ({ patch, fetched: patches[i] }))
      .filter(({ patch }, i) => !patch.optional || ticks[i].checked);
    const dot = rom.name.lastIndexOf(".");
    const output = hack.output || `${hack.title}${dot > 0 ? rom.name.slice(dot) : ""}`;
    const holders = [...new Map(chosen.map(({ fetched }) => [fetched.holder, fetched])).values()];
    // The engine reads the list a line each, its fields between tabs.
    const known = hack.originals.map((o) => [o.name, o.size ?? "", o.crc32 ?? "", o.md5 ?? "", o.sha1 ?? ""].join("\t"));
    run({
      type: "hack_apply",
      arguments: ["original", "changed", "patch", "known"],
      paths: ["original", "changed", "patch"],
      fields: { original: rom.name, changed: output, patch: chosen.map(({ fetched }) => `"${fetched.path}"`).join(" "),
                known: known.join("\n") },
      files: { original: [rom], patch: holders.map((f) => ({ blob: f.blob, name: f.holder })) },
    });
  });
  // Held back while an operation runs; given back only once a ROM is
  // chosen, since only that runs one.
  buttons.push(apply);
}

function hackProblem(text) {
  const problem = $("hack-problem");
  problem.textContent = text;
  problem.hidden = false;
}

// The page is a hack's page where hack.json is found beside it.
(async function hackPage() {
  let response;
  try {
    response = await fetch("hack.json", { cache: "no-cache" });
  } catch {
    return;  // offline, and never a hack's page here
  }
  if (response.status === 404) return;
  try {
    if (!response.ok) throw new Error(`hack.json could not be read: ${response.status} ${response.statusText}`.trim());
    const hack = zelkPage.readHack(await response.text());
    $("hack-rom").textContent = "Loading the patches…";
    const patches = await zelkPage.fetchPatches(hack, (file) => fetch(file));
    showHack(hack, patches);
    $("hack-rom").textContent = "or drop it onto this page";
  } catch (e) {
    hackProblem(`${e.message}. The hack cannot be applied from this page until hack.json is mended; ` +
                "the patcher below still works with files you choose.");
    $("hack").hidden = true;
  }
})();

// The builder: title, description, patches in order (each optional or
// not), the original's hashes and the result's name, then one zip.
(function builder() {
  const open = $("builder-open");
  open.addEventListener("click", () => {
    const shown = $("builder").hidden;
    $("builder").hidden = !shown;
    open.setAttribute("aria-expanded", String(shown));
    if (shown) $("builder-title").focus();
  });
  const patches = [];  // { file, optional }
  const list = $("builder-patch-list");
  const redraw = () => list.replaceChildren(...patches.map((entry, i) => {
    const item = element("li");
    const box = element("input", undefined, { type: "checkbox", id: `builder-optional-${i}` });
    box.checked = entry.optional;
    box.addEventListener("change", () => (entry.optional = box.checked));
    const remove = element("button", "Remove", { type: "button", "aria-label": `Remove ${entry.file.name}` });
    remove.addEventListener("click", () => {
      patches.splice(i, 1);
      redraw();
    });
    item.append(element("span", entry.file.name, { class: "name" }), box,
                element("label", "Optional", { for: box.id }), remove);
    return item;
  }));
  const patchPicker = $("builder-patches-file");
  $("builder-patches").addEventListener("click", () => patchPicker.click());
  patchPicker.addEventListener("change", () => {
    patches.push(...[...patchPicker.files].map((file) => ({ file, optional: false })));
    patchPicker.value = "";
    redraw();
  });

  let original = null;  // { name, size, crc32, md5, sha1 }
  const romPicker = $("builder-rom-file");
  const facts = $("builder-rom-facts");
  $("builder-rom").addEventListener("click", () => romPicker.click());
  romPicker.addEventListener("change", async () => {
    const file = romPicker.files[0];
    romPicker.value = "";
    if (!file) return;
    original = null;
    facts.textContent = `Reading ${file.name}…`;
    const said = await hashesOf(file);
    if (said.startsWith("!")) {
      facts.textContent = "";
      show(said.slice(1), true);
      return;
    }
    const [size, crc32, md5, sha1] = said.split("\n");
    original = { name: file.name, size: Number(size), crc32, md5, sha1 };
    facts.textContent = `${file.name}: ${size} bytes, CRC-32 ${crc32}`;
    const output = $("builder-output");
    const dot = file.name.lastIndexOf(".");
    if (!output.value) output.value = `${$("builder-title").value.trim() || "Hack"}${dot > 0 ? file.name.slice(dot) : ""}`;
  });

  const download = $("builder-download");
  buttons.push($("builder-patches"), $("builder-rom"), download);
  download.addEventListener("click", async () => {
    const title = $("builder-title").value.trim();
    const output = $("builder-output").value.trim();
    const missing = !title ? "Give the page a title." : !patches.length ? "Choose the patches." :
                    !original ? "Choose the original ROM, so that the page can tell a player's ROM is the right one." :
                    !output || /[\\/]/.test(output) ? "Give the result's file name, without folders." : null;
    if (missing) return show(missing, true);
    // Each patch under patches/, two of one name told apart.
    const taken = new Set();
    const named = patches.map(({ file, optional }) => {
      let name = file.name;
      for (let n = 2; taken.has(name.toLowerCase()); ++n) name = file.name.replace(/(\.[^.]*)?$/, ` (${n})$1`);
      taken.add(name.toLowerCase());
      const entry = { file: `patches/${name}`, name: file.name.replace(/\.[^.]*$/, "") || file.name };
      if (optional) Object.assign(entry, { optional: true, checked: false });
      return { entry, file };
    });
    const hack = { title, description: $("builder-description").value, original, patches: named.map((n) => n.entry),
                   output };
    // The page's own files as this page was served them (offline: as kept).
    let own;
    try {
      own = await Promise.all([...zelkPage.files.filter((f) => f !== "./"), "sw.js"].map(async (name) => {
        const response = await fetch(name);
        if (!response.ok) throw new Error(`${name}: ${response.status} ${response.statusText}`);
        return { blob: await response.blob(), name };
      }));
    } catch (e) {
      return show(`The page's own files could not be read (${e.message}), so no page was made. Reload the page and ` +
                  "try again.", true);
    }
    const members = [...own, { blob: new Blob([JSON.stringify(hack, null, 2) + "\n"]), name: "hack.json" },
                     ...named.map(({ entry, file }) => ({ blob: file, name: entry.file }))];
    const stem = title.replace(/[^\p{L}\p{N} ._-]+/gu, "").trim().replace(/\s+/g, "-") || "hack";
    run({ type: "zip", arguments: [], paths: [], fields: { changed: `${stem}-page.zip` }, files: { member: members } });
  });
})();
