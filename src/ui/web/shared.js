// What the page and its service worker both know: the page's own files, and
// how a hack's page reads its hack.json and finds the patches it lists.
// Nothing here touches the page's elements: the service worker runs it too.
"use strict";

self.zelkPage = (() => {
  // Every file the page is made of, but sw.js, which the browser fetches itself.
  const files = ["./", "index.html", "form.css", "style.css", "shared.js", "app.js", "hack.js", "worker.js",
                 "zelkpatch.js", "zelkpatch.wasm", "icon.png", "icon-192.png", "icon-512.png",
                 "manifest.webmanifest"];

  const isObject = (value) => typeof value === "object" && value !== null && !Array.isArray(value);
  const quoted = (value) => JSON.stringify(value);

  // A path inside the page's folder, as a file entry must be: no address of
  // its own, no way up, no backslash; or why not.
  function pathProblem(path) {
    if (typeof path !== "string" || path === "") return "must be a path, such as \"patches/hack.bps\"";
    if (path.includes("\\")) return "must use forward slashes, not backslashes";
    if (/^[a-z][a-z0-9+.-]*:/i.test(path) || path.startsWith("/"))
      return "must be a path inside this page's folder, not an address of its own";
    for (const segment of path.split("/")) {
      let plain = segment;
      try {
        plain = decodeURIComponent(segment);
      } catch {
        // A stray "%" stays as it is: the path is encoded when it is fetched.
      }
      if (plain === "" || plain === "." || plain === "..")
        return "must be a path inside this page's folder, without \"..\", \".\" or empty parts";
      if (/[\u0000-\u001f]/.test(plain)) return "must not hold control characters";
    }
    return null;
  }

  // Where a path's file is fetched: the path itself, or, for a patch named
  // through an archive ("patches/hack.zip/English/hack.bps"), the archive.
  function holder(path) {
    const segments = path.split("/");
    const archive = segments.findIndex((s, i) => i + 1 < segments.length && /\.(zip|7z)$/i.test(s));
    return segments.slice(0, archive < 0 ? segments.length : archive + 1).join("/");
  }
  // The address of a path inside the page's folder, each part encoded.
  const address = (path) => path.split("/").map(encodeURIComponent).join("/");

  const hashLengths = { crc32: 8, md5: 32, sha1: 40 };
  function readOriginal(entry, where) {
    if (!isObject(entry)) throw new Error(`hack.json: ${where} must be an object with a name and hashes`);
    if (typeof entry.name !== "string" || !entry.name.trim())
      throw new Error(`hack.json: ${where} must give the ROM's "name"`);
    const rom = { name: entry.name.replace(/[\u0000-\u001f]+/g, " ").trim() };
    if (entry.size !== undefined) {
      if (!Number.isSafeInteger(entry.size) || entry.size < 0)
        throw new Error(`hack.json: ${where}.size must be a whole number of bytes`);
      rom.size = entry.size;
    }
    for (const [key, length] of Object.entries(hashLengths)) {
      if (entry[key] === undefined) continue;
      if (typeof entry[key] !== "string" || !new RegExp(`^[0-9a-fA-F]{${length}}$`).test(entry[key]))
        throw new Error(`hack.json: ${where}.${key} must be ${length} hex digits, not ${quoted(entry[key])}`);
      rom[key] = entry[key].toLowerCase();
    }
    if (!rom.crc32 && !rom.md5 && !rom.sha1)
      throw new Error(`hack.json: ${where} must give at least one of "crc32", "md5" and "sha1"`);
    return rom;
  }

  function readPatch(entry, where) {
    if (!isObject(entry)) throw new Error(`hack.json: ${where} must be an object with a "file"`);
    const problem = pathProblem(entry.file);
    if (problem) throw new Error(`hack.json: ${where}.file ${quoted(entry.file)} ${problem}`);
    for (const key of ["optional", "checked"])
      if (entry[key] !== undefined && typeof entry[key] !== "boolean")
        throw new Error(`hack.json: ${where}.${key} must be true or false`);
    if (entry.name !== undefined && typeof entry.name !== "string") throw new Error(`hack.json: ${where}.name must be text`);
    return { file: entry.file, name: entry.name?.trim() || entry.file.split("/").pop(), optional: entry.optional === true,
             checked: entry.checked === true };
  }

  // hack.json's text as the page uses it; a message naming hack.json and
  // what is wrong with it, thrown, where it cannot be used.
  function readHack(text) {
    let hack;
    try {
      hack = JSON.parse(text);
    } catch (e) {
      throw new Error(`hack.json is not valid JSON: ${e.message}`);
    }
    if (!isObject(hack)) throw new Error("hack.json must hold one object, {\"title\": …, \"patches\": […], …}");
    for (const key of ["title", "description", "output"])
      if (hack[key] !== undefined && typeof hack[key] !== "string") throw new Error(`hack.json: "${key}" must be text`);
    if (!Array.isArray(hack.patches) || hack.patches.length === 0)
      throw new Error("hack.json lacks \"patches\": a list of the patch files, in the order they are applied");
    if (hack.original === undefined) throw new Error("hack.json lacks \"original\": the ROM the hack is made for");
    const originals = Array.isArray(hack.original) ? hack.original : [hack.original];
    if (originals.length === 0) throw new Error("hack.json: \"original\" lists no ROM");
    const output = hack.output?.trim() ?? "";
    if (output && (/[\\/\u0000-\u001f]/.test(output) || output === "." || output === ".."))
      throw new Error(`hack.json: "output" ${quoted(hack.output)} must be a file name, without folders`);
    return {
      title: hack.title?.trim() || "ZelkPatcher",
      description: hack.description ?? "",
      originals: originals.map((o, i) => readOriginal(o, Array.isArray(hack.original) ? `original[${i}]` : "original")),
      patches: hack.patches.map((p, i) => readPatch(p, `patches[${i}]`)),
      output,
    };
  }

  // Fetches each file the hack's patches are in, once: a list of
  // { path, holder, blob } in the patches' order, or a message naming the
  // entry whose file is missing, thrown.
  async function fetchPatches(hack, get) {
    const fetched = new Map();
    return Promise.all(hack.patches.map(async (patch, i) => {
      const file = holder(patch.file);
      if (!fetched.has(file)) fetched.set(file, get(address(file)).then(async (response) => {
        if (!response.ok) throw new Error(`hack.json: patches[${i}].file ${quoted(patch.file)} names no file here ` +
                                          `(${response.status} ${response.statusText})`.replace(/ \)$/, ")"));
        return response.blob();
      }, () => {
        throw new Error(`hack.json: patches[${i}].file ${quoted(patch.file)} could not be fetched`);
      }));
      return { path: patch.file, holder: file, blob: await fetched.get(file) };
    }));
  }

  return { files, pathProblem, holder, address, readHack, fetchPatches };
})();
