// The page's make and apply in headless Chromium, each beside the time this
// browser needs just to read the operation's inputs: in a worker, with
// FileReaderSync, in 16 MiB slices, as the page reads them.
// Usage: node bench/web_bench.mjs WEB_ROOT ORIGINAL CHANGED PATCH RUNS
// Prints one JSON object: medians in seconds.
import { createServer } from "node:http";
import fs from "node:fs";
import path from "node:path";
import { createRequire } from "node:module";

const require = createRequire(path.resolve("tests/web/package.json"));
const { chromium } = require("playwright-core");
const [root, original, changed, patch, runsText] = process.argv.slice(2);
const runs = Number(runsText) || 3;

// The reader runs as a same-origin worker, as the page's own does. Given a
// result size, it also hands that many bytes to the browser as the page
// does (32 MiB Blobs), alone ("write") or while reading, a 16 MiB slice of
// input for each 16 MiB of result ("both"): the browser's own floor for an
// apply that passes the original through.
const reader = `"use strict";
self.onmessage = (event) => {
  const { files, mode, size } = event.data;
  const started = performance.now();
  const reader = new FileReaderSync();
  const slices = [];
  for (const file of mode === "write" ? [] : files)
    for (let at = 0; at < file.size; at += 16 << 20) slices.push(file.slice(at, at + (16 << 20)));
  const staging = new Uint8Array(32 << 20);
  const parts = [];
  let staged = 0, written = 0, next = 0;
  const hand = (bytes) => {
    staging.set(bytes.subarray(0, Math.min(bytes.length, staging.length - staged)), staged);
    staged += Math.min(bytes.length, staging.length - staged);
    written += bytes.length;
    if (staged === staging.length) { parts.push(new Blob([staging])); staged = 0; }
  };
  const block = new Uint8Array(16 << 20);
  if (mode === "read") for (const slice of slices) reader.readAsArrayBuffer(slice);
  if (mode === "write") while (written < size) hand(block.subarray(0, Math.min(block.length, size - written)));
  if (mode === "both") {
    while (next < slices.length || written < size) {
      const bytes = next < slices.length ? new Uint8Array(reader.readAsArrayBuffer(slices[next++])) : block;
      if (written < size) hand(bytes.subarray(0, Math.min(bytes.length, size - written)));
    }
  }
  if (staged) parts.push(new Blob([staging.subarray(0, staged)]));
  new Blob(parts);
  self.postMessage(performance.now() - started);
};`;
const types = { ".html": "text/html", ".js": "text/javascript", ".css": "text/css", ".wasm": "application/wasm",
                ".png": "image/png", ".webmanifest": "application/manifest+json" };
const server = createServer((request, response) => {
  const name = new URL(request.url, "http://x").pathname.replace(/\/$/, "/index.html");
  if (name === "/bench-read.js") return response.writeHead(200, { "content-type": "text/javascript" }).end(reader);
  const file = path.join(root, decodeURIComponent(name));
  if (!file.startsWith(root) || !fs.existsSync(file)) return response.writeHead(404).end();
  response.writeHead(200, { "content-type": types[path.extname(file)] ?? "application/octet-stream" });
  fs.createReadStream(file).pipe(response);
});
await new Promise((resolve) => server.listen(0, "127.0.0.1", resolve));
const browser = await chromium.launch({
  executablePath: "/usr/bin/chromium",
  args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run", "--disable-background-networking",
         "--disable-component-update", "--disable-sync", "--disable-dev-shm-usage"],
});
const page = await (await browser.newContext({ acceptDownloads: true })).newPage();
await page.goto(`http://127.0.0.1:${server.address().port}/`);
await page.waitForFunction(() => document.getElementById("fldPatchComment").value.length > 0);
await page.setInputFiles("#fldOrigRomFile-file", original);
await page.setInputFiles("#fldChgRomFile-file", changed);
await page.fill("#fldOutPatchFile", "p.ppp");
await page.fill("#fldPatchComment", "");

// Seconds to read the files chosen for the given fields, to hand `size`
// bytes to the browser, or both, as `mode` says.
const readTime = (fields, mode = "read", size = 0) => page.evaluate(([ids, mode, size]) => new Promise((resolve) => {
  const worker = new Worker("bench-read.js");
  worker.onmessage = (event) => { worker.terminate(); resolve(event.data / 1000); };
  // The page keeps the files chosen for each field under its role.
  worker.postMessage({ files: ids.flatMap((id) => chosen.get(document.getElementById(id).dataset.role) ?? []), mode, size });
}), [fields, mode, size]);

// Seconds from pressing `button` to the operation's last dialog.
async function operation(button) {
  const seconds = await page.evaluate((id) => new Promise((resolve) => {
    const dialog = document.getElementById("message");
    const started = performance.now();
    new MutationObserver((_, observer) => {
      if (!dialog.open) return;
      observer.disconnect();
      resolve((performance.now() - started) / 1000);
    }).observe(dialog, { attributes: true });
    document.getElementById(id).click();
  }), button);
  await page.click("#message-ok");
  await page.waitForFunction(() => !document.body.classList.contains("busy"));
  return seconds;
}

const median = (values) => values.sort((a, b) => a - b)[Math.floor(values.length / 2)];
const result = {};
for (const [name, button, fields] of [["make", "Command2", ["fldOrigRomFile", "fldChgRomFile"]],
                                      ["apply", "Command3", ["fldOrigRomFile", "fldOutPatchFile"]]]) {
  if (name === "apply") {
    await page.setInputFiles("#fldOutPatchFile-file", patch);
    await page.fill("#fldChgRomFile", "out.rom");
  }
  const reads = [], times = [], writes = [], both = [];
  // What the operation hands to the browser: the result, or the patch.
  const size = fs.statSync(name === "apply" ? changed : patch).size;
  for (let i = 0; i < runs; ++i) {
    reads.push(await readTime(fields));
    if (name === "apply") {
      writes.push(await readTime(fields, "write", size));
      both.push(await readTime(fields, "both", size));
    }
    times.push(await operation(button));
  }
  result[name] = median(times);
  result[`${name}_read`] = median(reads);
  if (name === "apply") {
    result.apply_write = median(writes);
    result.apply_both = median(both);
  }
}
console.log(JSON.stringify(result));
await browser.close();
server.close();
