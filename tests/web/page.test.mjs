// The web page in headless Chromium, used as a person would: files chosen in
// the page, buttons clicked, dialogs read and closed, downloads compared
// with what the command line writes for the same files.
import { test, before, after } from "node:test";
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import { createServer } from "node:http";
import { createHash } from "node:crypto";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import { chromium } from "playwright-core";

const root = process.env.WEB_ROOT;
const zelkpatch = process.env.ZELKPATCH;
const work = fs.mkdtempSync(path.join(os.tmpdir(), "zelk-web-"));
let server, browser, base;

const types = { ".html": "text/html", ".js": "text/javascript", ".css": "text/css", ".wasm": "application/wasm",
                ".png": "image/png", ".webmanifest": "application/manifest+json", ".json": "application/json" };

// Set, the server plays a new build: another cache name in sw.js, new code
// in app.js, the same dates, as a static host's files keep theirs when
// nothing but their content changed.
let rebuilt = false;

before(async () => {
  server = createServer((request, response) => {
    // Under /sites/, the hacks' pages the tests put together.
    const asked = decodeURIComponent(new URL(request.url, "http://x").pathname).replace(/\/$/, "/index.html");
    const file = asked.startsWith("/sites/") ? path.join(work, asked) : path.join(root, asked);
    if (!(file.startsWith(root) || file.startsWith(path.join(work, "sites"))) || !fs.existsSync(file) ||
        !fs.statSync(file).isFile())
      return response.writeHead(404).end();
    // Dated and cacheable for an hour, as static hosts serve files.
    response.writeHead(200, { "content-type": types[path.extname(file)] ?? "application/octet-stream",
                              "last-modified": fs.statSync(file).mtime.toUTCString(), "cache-control": "max-age=3600" });
    const name = path.basename(file);
    if (rebuilt && name === "sw.js")
      return response.end(fs.readFileSync(file, "utf8").replace(/"(zelkpatcher-[^"]+)"/, '"$1-rebuilt"'));
    if (rebuilt && name === "app.js") return response.end(fs.readFileSync(file, "utf8") + "\nself.zelkRebuilt = true;\n");
    fs.createReadStream(file).pipe(response);
  });
  await new Promise((resolve) => server.listen(0, "127.0.0.1", resolve));
  base = `http://127.0.0.1:${server.address().port}/`;
  browser = await chromium.launch({
    executablePath: "/usr/bin/chromium",
    args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run", "--disable-background-networking",
           "--disable-component-update", "--disable-sync", "--disable-dev-shm-usage"],
  });
});

after(async () => {
  await browser?.close();
  server?.close();
  fs.rmSync(work, { recursive: true, force: true });
});

// A page, loaded, with its comment composed; `requests` lists every request after that.
async function openPage() {
  const context = await browser.newContext({ acceptDownloads: true });
  const page = await context.newPage();
  await page.goto(base);
  await page.waitForFunction(() => document.getElementById("fldPatchComment").value.startsWith("Коментарий"));
  // Both workers load the engine at start; loading ends when they have.
  await page.waitForLoadState("networkidle");
  const requests = [];
  page.on("request", (r) => { if (!r.url().startsWith("blob:")) requests.push(r.url()); });
  const downloads = [];
  page.on("download", (d) => downloads.push(d));
  return { page, context, requests, downloads };
}

// Presses a button and closes each dialog in turn until the operation's
// last one; returns what they said, in order. `onDialog` sees each open
// dialog before it is closed.
async function press(page, button, onDialog = () => {}, anyway = false) {
  await page.click(`#${button}`);
  const seen = [];
  for (;;) {
    await page.waitForSelector("#message[open]");
    const box = await page.evaluate(() => ({
      text: document.getElementById("message-text").textContent,
      critical: !document.getElementById("message-icon").hidden,
      title: document.getElementById("message-title").textContent,
      role: document.getElementById("message").getAttribute("role") ?? "dialog",
      asks: !document.getElementById("message-yes").hidden,
    }));
    assert.equal(box.title, "ZelkPatcher");
    assert.equal(box.role, "dialog");
    seen.push({ text: box.text, critical: box.critical });
    await onDialog(seen.length - 1);
    // "Apply anyway?" is answered as `anyway` says; Yes always leads to more.
    await page.click(box.asks ? (anyway ? "#message-yes" : "#message-no") : "#message-ok");
    if (box.asks && anyway) {
      await page.waitForFunction((said) => document.getElementById("message").open &&
        document.getElementById("message-text").textContent !== said, box.text, { timeout: 60000 });
      continue;
    }
    // More to come while the page's queue still holds messages.
    const more = await page.waitForFunction(() => document.getElementById("message").open ||
      !document.body.classList.contains("busy"), null, { timeout: 60000 }).then(() =>
      page.evaluate(() => document.getElementById("message").open));
    if (!more) {
      await page.waitForTimeout(100);
      if (!(await page.evaluate(() => document.getElementById("message").open))) return seen;
    }
  }
}

function write(name, bytes) {
  const file = path.join(work, name);
  fs.writeFileSync(file, bytes);
  return file;
}

// Deterministic bytes: xorshift32 from `seed`.
function random(size, seed) {
  const out = Buffer.alloc(size);
  let x = seed >>> 0 || 1;
  for (let i = 0; i < size; ++i) {
    x ^= x << 13; x >>>= 0; x ^= x >>> 17; x ^= x << 5; x >>>= 0;
    out[i] = x & 0xff;
  }
  return out;
}

async function save(download, name) {
  const file = path.join(work, name);
  await download.saveAs(file);
  return file;
}

// Seconds from the button press to the last dialog of the last make and apply.
const timings = {};

async function makeAndApply(page, downloads, original, changed, comment, watchProgress = false) {
  const a = write("a.rom", original);
  const b = write("b.rom", changed);
  await page.setInputFiles("#fldOrigRomFile-file", a);
  await page.setInputFiles("#fldChgRomFile-file", b);
  await page.fill("#fldOutPatchFile", "p.ppp");
  // null: the comment composed at load, as it stands.
  if (comment === null) comment = (await page.inputValue("#fldPatchComment"));
  else await page.fill("#fldPatchComment", comment);
  downloads.length = 0;
  // The bar and Cancel appear only for a run longer than half a second.
  await page.evaluate(() => {
    const bar = document.getElementById("progress");
    self.barShown = false;
    new MutationObserver(() => (self.barShown ||= !bar.hidden)).observe(bar, { attributes: true });
  });
  let started = Date.now();
  // A long run shows a real fraction of the work done, with the form disabled.
  const progress = watchProgress && page.waitForFunction(() => {
    const bar = document.getElementById("progress");
    return !bar.hidden && bar.value > 0 && bar.value < 1 && document.getElementById("Command2").disabled;
  }, null, { polling: 50, timeout: 60000 });
  assert.deepEqual(await press(page, "Command2"), [{ text: "Done ZelkPatch generation!", critical: false }]);
  if (progress) await progress;
  timings.make = (Date.now() - started) / 1000;
  if (changed.length < 65536) assert.equal(await page.evaluate(() => self.barShown), false, "bar shown for a short run");
  assert.equal(downloads.length, 1);
  assert.equal(downloads[0].suggestedFilename(), "p.ppp");
  const patch = await save(downloads[0], "p.ppp");
  execFileSync(zelkpatch, ["make", a, b, path.join(work, "cli.ppp"), "--comment", comment]);
  assert.ok(fs.readFileSync(patch).equals(fs.readFileSync(path.join(work, "cli.ppp"))), "patch differs from the CLI's");

  await page.setInputFiles("#fldOutPatchFile-file", patch);
  await page.fill("#fldChgRomFile", "out.rom");
  downloads.length = 0;
  started = Date.now();
  // The result is offered only once the patch's comment has been read.
  const said = await press(page, "Command3", (i) => {
    if (comment && i === 0) assert.equal(downloads.length, 0, "download offered under the comment's dialog");
  });
  timings.apply = (Date.now() - started) / 1000;
  const expected = comment ? [{ text: comment.replace(/\n/g, "\r\n"), critical: false }] : [];
  assert.deepEqual(said, [...expected, { text: "Done applying ZelkPatch! ", critical: false }]);
  assert.equal(downloads.length, 1);
  assert.equal(downloads[0].suggestedFilename(), "out.rom");
  return save(downloads[0], "out.rom");
}

test("make and apply give the command line's bytes, offline", async () => {
  const { page, context, requests, downloads } = await openPage();
  await context.setOffline(true);  // once loaded, the page needs no network
  const edges = random(700 * 1024, 7);
  const changedEdges = Buffer.from(edges);
  for (const edge of [65536, 262144, 524288]) for (let i = edge - 3; i < edge + 3; ++i) changedEdges[i] ^= 0x55;
  const big = random(64 << 20, 9);
  const bigChanged = Buffer.from(big);
  for (let i = 0; i < bigChanged.length; i += 4099) bigChanged[i] ^= 1;
  const pairs = [
    [Buffer.alloc(0), Buffer.from([7]), "empty original"],
    [Buffer.from([1]), Buffer.from([2]), "один байт\nв Windows-1251 «как в Linux» №1"],
    [random(1000, 3), Buffer.concat([random(1000, 3), random(500, 4)]), null],
    [edges, Buffer.concat([changedEdges, random(3000, 8)]), "runs across the engine's buffers"],
    [big, bigChanged, ""],
  ];
  for (const [original, changed, comment] of pairs) {
    const out = await makeAndApply(page, downloads, original, changed, comment);
    assert.ok(fs.readFileSync(out).equals(changed), `applied result differs (${comment ?? "composed"})`);
  }
  assert.deepEqual(requests, [], "the page made network requests");
  await context.close();
});

test("nothing leaves the machine: no request after load, and none from the page or a worker can", async () => {
  let reached = 0;
  const other = createServer((request, response) => {
    ++reached;
    response.writeHead(200, { "access-control-allow-origin": "*" }).end("x");
  });
  await new Promise((resolve) => other.listen(0, "127.0.0.1", resolve));
  const elsewhere = `http://127.0.0.1:${other.address().port}/`;
  const { page, context, requests, downloads } = await openPage();
  const out = await makeAndApply(page, downloads, random(5000, 81), random(6000, 82), "nothing uploaded");
  assert.ok(fs.readFileSync(out).equals(random(6000, 82)));
  assert.deepEqual(requests, [], "the page made requests after it loaded");
  const tryFetch = (url) => fetch(url).then(() => "reached", () => "blocked");
  const workers = page.workers();
  assert.ok(workers.length >= 2, `${workers.length} workers`);
  for (const worker of workers) assert.equal(await worker.evaluate(tryFetch, elsewhere), "blocked");
  assert.equal(await page.evaluate(tryFetch, elsewhere), "blocked");
  assert.equal(reached, 0, "another server was reached");
  other.close();
  await context.close();
});

test("the page is the window's form", async () => {
  const { page, context } = await openPage();
  assert.equal(await page.title(), "ZelkPatcher v1.0 beta");
  assert.equal(await page.textContent("h1"), "ZelkPatcher v1.0 beta");
  assert.equal(await page.inputValue("#fldPatchComment"),
               "Коментарий к патчу сделанному из \nD:\\TEMP\\a\\test.rom и \nD:\\TEMP\\a\\test1.rom");
  const names = { fldOrigRomFile: "Original ROM file", fldChgRomFile: "Changed /Output ROM file",
                  fldOutPatchFile: "Output Patch file" };
  for (const [id, caption] of Object.entries(names)) {
    assert.equal(await page.getByRole("textbox", { name: caption, exact: true }).getAttribute("id"), id);
    await page.getByRole("button", { name: `Choose ${caption}`, exact: true }).waitFor();
  }
  // Designed places, in pixels from the form's corner.
  const boxes = await page.evaluate(() => {
    const form = document.getElementById("form").getBoundingClientRect();
    const place = (id) => {
      const r = document.getElementById(id).getBoundingClientRect();
      return [r.left - form.left - 1, r.top - form.top - 1, r.width, r.height].map(Math.round);
    };
    return Object.fromEntries(["Label1", "fldOrigRomFile", "fldOrigRomFile-choose", "Command2", "Command3",
                               "fldPatchComment"].map((id) => [id, place(id)]));
  });
  assert.deepEqual(boxes, {
    Label1: [8, 8, 137, 17], fldOrigRomFile: [152, 8, 273, 19], "fldOrigRomFile-choose": [425, 8, 24, 19],
    Command2: [152, 80, 81, 25], Command3: [248, 80, 81, 25], fldPatchComment: [8, 112, 441, 89],
  });
  // Focus starts in the original's field and Tab walks the designed order.
  assert.equal(await page.evaluate(() => document.activeElement.id), "fldOrigRomFile");
  for (const id of ["fldChgRomFile", "Command2", "fldOutPatchFile", "Command3", "fldPatchComment"]) {
    await page.keyboard.press("Tab");
    assert.equal(await page.evaluate(() => document.activeElement.id), id);
  }
  await page.keyboard.press("Shift+Tab");
  assert.equal(await page.evaluate(() => document.activeElement.id), "Command3");
  // Enter in a path field presses nothing.
  await page.focus("#fldOrigRomFile");
  await page.keyboard.press("Enter");
  await page.waitForTimeout(200);
  assert.equal(await page.evaluate(() => document.getElementById("message").open), false);
  // Every caption is readable in the font chosen.
  assert.deepEqual(await page.evaluate(() => [...document.querySelectorAll("#form label, #form button")]
    .filter((c) => c.scrollWidth > c.clientWidth).map((c) => c.id)), []);
  if (process.env.WEB_SCREENSHOT)
    await page.screenshot({ path: process.env.WEB_SCREENSHOT, clip: { x: 0, y: 0, width: 500, height: 300 } });
  await context.close();
});

test("bad input gets the exact messages and no download", async () => {
  const { page, context, downloads } = await openPage();
  const a = write("orig.rom", Buffer.from([1, 2, 3]));
  const good = Buffer.concat([Buffer.from("Zelk Patch v1.0"), Buffer.from([29, 0, 0, 0]),
                              Buffer.from([0, 0, 0, 0, 1, 0, 0, 0, 9]), Buffer.from("c")]);
  const damaged = Buffer.from(good);
  damaged.writeInt32LE(200, 23);  // the block's length now runs past the end
  const big = path.join(work, "big.rom");
  fs.closeSync(fs.openSync(big, "w"));
  fs.truncateSync(big, 2 ** 31);  // sparse
  const cases = [
    ["apply", a, write("damaged.ppp", damaged), [{ text: "Damaged patch file damaged.ppp: block 1 at byte 19 runs into the comment", critical: true }]],
    ["apply", a, write("wrong.ppp", Buffer.from("Zelk Patch v2.0 and more")), [{ text: "Это не файл зелк-патча...", critical: false }]],
    ["apply", big, write("good.ppp", good), [{ text: "Too large for a ZelkPatch (2 GiB or more): big.rom", critical: true }]],
    ["make", a, write("short.rom", Buffer.from([1])), [{ text: "The changed file is shorter than the original, and a ZelkPatch cannot shorten a file: short.rom (1 bytes), orig.rom (3 bytes); a .bps or .ips patch can", critical: true }]],
  ];
  for (const [operation, original, second, expected] of cases) {
    await page.setInputFiles("#fldOrigRomFile-file", original);
    if (operation === "apply") {
      await page.setInputFiles("#fldOutPatchFile-file", second);
      await page.fill("#fldChgRomFile", "out.rom");
    } else {
      await page.setInputFiles("#fldChgRomFile-file", second);
      await page.fill("#fldOutPatchFile", "p.ppp");
    }
    downloads.length = 0;
    assert.deepEqual(await press(page, operation === "make" ? "Command2" : "Command3"), expected);
    assert.equal(downloads.length, 0);
  }
  // A typed path that names no chosen file is missing, as in the window.
  await page.fill("#fldOrigRomFile", "typed.rom");
  assert.deepEqual(await press(page, "Command3"), [{ text: "нету файла typed.rom", critical: true }]);
  await context.close();
});

test("a 512 MiB pair keeps the WebAssembly heap under 32 MiB, with progress shown", async () => {
  const { page, context, downloads } = await openPage();
  const size = (Number(process.env.WEB_BIG_MIB) || 512) << 20;
  const original = random(size, 11);
  const changed = Buffer.from(original);
  for (let i = 0; i < size; i += 1 << 16) changed[i] ^= 0xff;
  const out = await makeAndApply(page, downloads, original, changed, "big", true);
  const sha = (bytes) => createHash("sha256").update(bytes).digest("hex");
  assert.equal(sha(fs.readFileSync(out)), sha(changed));
  const heap = Number(await page.evaluate(() => document.body.dataset.heap));
  assert.ok(heap < 32 << 20, `heap ${heap}`);
  console.log(`${size >> 20} MiB pair in the page: make ${timings.make} s, apply ${timings.apply} s, heap ${heap >> 20} MiB`);

  // Cancelled, a make says nothing, offers nothing, and the form is back.
  await choose(page, "fldChgRomFile", path.join(work, "b.rom"));
  downloads.length = 0;
  await page.click("#Command2");
  await page.click("#cancel", { timeout: 60000 });
  await page.waitForTimeout(500);
  assert.equal(await page.evaluate(() => document.getElementById("message").open), false);
  assert.equal(await page.evaluate(() => document.getElementById("Command2").disabled ||
                                         !document.getElementById("progress").hidden), false);
  assert.equal(downloads.length, 0);

  // A patch that is nearly all tail: checked in a moment (its data skipped),
  // then read through while the result is written. The bar follows.
  const small = random(1 << 20, 12);
  const tailed = Buffer.concat([small, Buffer.alloc(192 << 20, 0x5a)]);
  const ta = write("tail-a.rom", small), tp = path.join(work, "tail.ppp");
  execFileSync(zelkpatch, ["make", ta, write("tail-b.rom", tailed), tp]);
  await choose(page, "fldOrigRomFile", ta);
  await choose(page, "fldOutPatchFile", tp);
  await page.fill("#fldChgRomFile", "tail-out.rom");
  await page.evaluate(() => {
    self.barMost = 0;
    self.barWatch = setInterval(() => (self.barMost = Math.max(self.barMost, document.getElementById("progress").value)), 10);
  });
  downloads.length = 0;
  assert.deepEqual(await press(page, "Command3"), [{ text: "Done applying ZelkPatch! ", critical: false }]);
  const most = await page.evaluate(() => (clearInterval(self.barWatch), self.barMost));
  assert.ok(most > 0.8, `the bar reached only ${most}`);
  assert.equal(sha(fs.readFileSync(await save(downloads[0], "tail-out.rom"))), sha(tailed));
  await context.close();
});

// Chooses `file` for a field through the field's own picker.
async function choose(page, field, file) {
  await page.setInputFiles(`#${field}-file`, file);
}

test("files of the same name in two fields stay two files", async () => {
  const { page, context, downloads } = await openPage();
  fs.mkdirSync(path.join(work, "clean"), { recursive: true });
  fs.mkdirSync(path.join(work, "hacked"), { recursive: true });
  const original = random(5000, 21);
  const changed = Buffer.from(original);
  for (let i = 0; i < changed.length; i += 97) changed[i] ^= 0x33;
  const a = write("clean/game.sfc", original);
  const b = write("hacked/game.sfc", Buffer.concat([changed, Buffer.from("more")]));
  await choose(page, "fldOrigRomFile", a);
  await choose(page, "fldChgRomFile", b);
  await page.fill("#fldOutPatchFile", "game.ppp");
  await page.fill("#fldPatchComment", "");
  assert.deepEqual(await press(page, "Command2"), [{ text: "Done ZelkPatch generation!", critical: false }]);
  const patch = await save(downloads[0], "game.ppp");
  execFileSync(zelkpatch, ["make", a, b, path.join(work, "cli-game.ppp")]);
  assert.ok(fs.readFileSync(patch).equals(fs.readFileSync(path.join(work, "cli-game.ppp"))));
  // The output typed as the original's own name.
  await choose(page, "fldOutPatchFile", patch);
  await page.fill("#fldChgRomFile", "game.sfc");
  downloads.length = 0;
  assert.deepEqual(await press(page, "Command3"), [{ text: "Done applying ZelkPatch! ", critical: false }]);
  assert.equal(downloads[0].suggestedFilename(), "game.sfc");
  assert.ok(fs.readFileSync(await save(downloads[0], "out.sfc")).equals(fs.readFileSync(b)));
  await context.close();
});

test("the status line tells whether the patch fits the original", async () => {
  const { page, context } = await openPage();
  const original = random(4000, 31);
  const changed = Buffer.from(original);
  for (let i = 0; i < changed.length; i += 13) changed[i] ^= 0x5a;
  const a = write("fit-a.rom", original);
  const b = write("fit-b.rom", changed);
  const p = path.join(work, "fit.ppp");
  execFileSync(zelkpatch, ["make", a, b, p]);
  const status = () => page.textContent("#fit");
  assert.equal(await page.getAttribute("#fit", "role"), "status");
  await choose(page, "fldOrigRomFile", a);
  assert.equal(await status(), "", "said something before a patch was chosen");
  for (const [file, verdict] of [[a, "fit.ppp fits fit-a.rom. "], [b, "fit.ppp is already applied in fit-b.rom. "],
                                 [write("fit-h.rom", Buffer.concat([random(512, 32), original])),
                                  "fit.ppp fits fit-h.rom. Behind its 512-byte copier header"]]) {
    await choose(page, "fldOrigRomFile", file);
    await choose(page, "fldOutPatchFile", p);
    await page.waitForFunction((v) => document.getElementById("fit").textContent.startsWith(v), verdict);
  }
  await page.fill("#fldOutPatchFile", "typed.ppp");
  await page.waitForFunction(() => document.getElementById("fit").textContent === "");
  // Retyped while a long check runs, the field leaves no verdict behind.
  const large = random(16 << 20, 33);
  const largeChanged = Buffer.from(large);
  for (let i = 0; i < largeChanged.length; i += 13) largeChanged[i] ^= 0x5a;
  const lp = path.join(work, "large.ppp");
  execFileSync(zelkpatch, ["make", write("large-a.rom", large), write("large-b.rom", largeChanged), lp]);
  await choose(page, "fldOrigRomFile", path.join(work, "large-a.rom"));
  await choose(page, "fldOutPatchFile", lp);
  await page.fill("#fldOutPatchFile", "retyped.ppp");
  await page.waitForTimeout(3000);
  assert.equal(await status(), "", "a stale verdict stayed");
  assert.equal(await page.evaluate(() => document.querySelectorAll("dialog[open]").length), 0);
  await context.close();
});

// CRC-32 bit by bit, and the numbers of BPS, as the format describes them.
function crc32(bytes) {
  let c = 0xffffffff;
  for (const b of bytes) {
    c ^= b;
    for (let k = 0; k < 8; ++k) c = c & 1 ? (c >>> 1) ^ 0xedb88320 : c >>> 1;
  }
  return (c ^ 0xffffffff) >>> 0;
}
function bpsNumber(v) {
  const out = [];
  for (;;) {
    const x = v & 0x7f;
    v = Math.floor(v / 128);
    if (v === 0) return out.push(0x80 | x), out;
    out.push(x);
    v -= 1;
  }
}

test("a BPS patch applies as on the command line, its metadata shown and its fit told", async () => {
  const { page, context, downloads } = await openPage();
  const source = random(3 << 20, 51);
  const inserted = Buffer.from("new text that moves the rest");
  // SourceRead 1 MiB, TargetRead the new text, SourceCopy the rest from where
  // it stood, TargetCopy 64 KiB from the start.
  const target = Buffer.concat([source.subarray(0, 1 << 20), inserted, source.subarray(1 << 20), source.subarray(0, 65536)]);
  const metadata = Buffer.from("Пояснения к патчу");
  const parts = [Buffer.from("BPS1"), bpsNumber(source.length), bpsNumber(target.length), bpsNumber(metadata.length),
                 metadata, bpsNumber((((1 << 20) - 1) << 2) | 0), bpsNumber(((inserted.length - 1) << 2) | 1), inserted,
                 bpsNumber((((2 << 20) - 1) << 2) | 2), bpsNumber((1 << 20) << 1),
                 bpsNumber(((65536 - 1) << 2) | 3), bpsNumber(0)].map((p) => Buffer.from(p));
  let patch = Buffer.concat(parts);
  const footer = Buffer.alloc(8);
  footer.writeUInt32LE(crc32(source), 0);
  footer.writeUInt32LE(crc32(target), 4);
  patch = Buffer.concat([patch, footer]);
  const own = Buffer.alloc(4);
  own.writeUInt32LE(crc32(patch), 0);
  patch = Buffer.concat([patch, own]);
  const a = write("bps-a.rom", source);
  const p = write("hack.bps", patch);
  await choose(page, "fldOrigRomFile", a);
  await choose(page, "fldOutPatchFile", p);
  await page.waitForFunction(() => document.getElementById("fit").textContent.startsWith("hack.bps fits bps-a.rom. "));
  await page.fill("#fldChgRomFile", "hacked.rom");
  downloads.length = 0;
  assert.deepEqual(await press(page, "Command3"), [{ text: "Пояснения к патчу", critical: false },
                                                   { text: "Done applying BPS patch! ", critical: false }]);
  assert.equal(downloads.length, 1);
  const out = await save(downloads[0], "hacked.rom");
  assert.ok(fs.readFileSync(out).equals(target), "the page's result differs from the patch's target");
  execFileSync(zelkpatch, ["apply", a, p, path.join(work, "cli-hacked.rom")]);
  assert.ok(fs.readFileSync(path.join(work, "cli-hacked.rom")).equals(target), "the command line's result differs");
  await context.close();
});

test("xdelta3's patches apply as on the command line, in each of its compressions, and the wrong ROM is told", async () => {
  const { page, context, downloads } = await openPage();
  const source = random(2 << 20, 61);
  const target = Buffer.concat([source.subarray(0, 700000), random(90000, 62), source.subarray(650000)]);
  for (let i = 0; i < 200; ++i) target[(i * 7919) % target.length] ^= 0x5a;
  const a = write("xd-a.rom", source);
  const b = write("xd-b.rom", target);
  await choose(page, "fldOrigRomFile", a);
  for (const option of [[], ["-S", "djw"], ["-S", "fgk", "-W", "65536"]]) {
    const p = path.join(work, "hack.xdelta");
    execFileSync("xdelta3", ["-e", "-f", ...option, "-s", a, b, p]);
    await choose(page, "fldOutPatchFile", p);
    await page.waitForFunction(() => document.getElementById("fit").textContent.startsWith("hack.xdelta fits xd-a.rom. "));
    await page.fill("#fldChgRomFile", "xd-out.rom");
    downloads.length = 0;
    assert.deepEqual(await press(page, "Command3"), [{ text: "Done applying xdelta (VCDIFF) patch! ", critical: false }],
                     option.join(" "));
    assert.ok(fs.readFileSync(await save(downloads[0], "xd-out.rom")).equals(target), `result of ${option.join(" ")}`);
  }
  await choose(page, "fldOrigRomFile", b);
  await page.waitForFunction(() => document.getElementById("fit").textContent.startsWith("hack.xdelta does not fit xd-b.rom"));
  await context.close();
});

test("a PPF patch applies as on the command line, its description and FILE_ID.DIZ shown", async () => {
  const { page, context, downloads } = await openPage();
  const source = random(1 << 20, 71);
  // PPF 3.0, BIN, the block check on, no undo data: one record of 4 bytes at a 64-bit offset.
  const header = Buffer.alloc(60, 0);
  header.write("PPF30", 0, "latin1");
  header[5] = 2;
  header.write("Translation v2".padEnd(50), 6, "latin1");
  header[57] = 1;
  const record = Buffer.alloc(13);
  record.writeBigUInt64LE(0x12345n, 0);
  record[8] = 4;
  Buffer.from([1, 2, 3, 4]).copy(record, 9);
  const diz = Buffer.from("@BEGIN_FILE_ID.DIZby us@END_FILE_ID.DIZ\x05\x00", "latin1");
  const patch = Buffer.concat([header, source.subarray(0x9320, 0x9320 + 1024), record, diz]);
  const target = Buffer.from(source);
  Buffer.from([1, 2, 3, 4]).copy(target, 0x12345);
  const a = write("ppf-a.rom", source);
  const p = write("hack.ppf", patch);
  await choose(page, "fldOrigRomFile", a);
  await choose(page, "fldOutPatchFile", p);
  await page.waitForFunction(() => document.getElementById("fit").textContent.startsWith("hack.ppf fits ppf-a.rom. "));
  await page.fill("#fldChgRomFile", "ppf-out.rom");
  downloads.length = 0;
  assert.deepEqual(await press(page, "Command3"), [{ text: "Translation v2\n\nby us", critical: false },
                                                   { text: "Done applying PPF patch! ", critical: false }]);
  assert.ok(fs.readFileSync(await save(downloads[0], "ppf-out.rom")).equals(target), "the page's result differs");
  execFileSync(zelkpatch, ["apply", a, p, path.join(work, "cli-ppf.rom")]);
  assert.ok(fs.readFileSync(path.join(work, "cli-ppf.rom")).equals(target), "the command line's result differs");
  await context.close();
});

test("the original's hashes stand beside the verdict, and a checksum's refusal asks whether to apply anyway", async () => {
  const { page, context, downloads } = await openPage();
  const source = random(1 << 20, 81), other = random(1 << 20, 82);
  const changed = Buffer.from(source);
  changed[1000] ^= 1;
  const a = write("any-a.rom", source), o = write("any-o.rom", other), b = write("any-b.rom", changed);
  const p = path.join(work, "any.ups");
  execFileSync(zelkpatch, ["make", a, b, p]);
  await choose(page, "fldOrigRomFile", o);
  await choose(page, "fldOutPatchFile", p);
  await page.waitForFunction(() => document.getElementById("fit").textContent.startsWith("any.ups does not fit any-o.rom. "));
  const fit = await page.evaluate(() => document.getElementById("fit").textContent);
  const hash = (kind) => createHash(kind).update(other).digest("hex");
  for (const line of [`CRC-32: ${crc32(other).toString(16).padStart(8, "0")}`, `MD5:    ${hash("md5")}`, `SHA-1:  ${hash("sha1")}`,
                      `The patch expects 1048576 bytes, CRC-32 ${crc32(source).toString(16).padStart(8, "0")}.`])
    assert.ok(fit.includes(line), `${line} in ${fit}`);
  await page.fill("#fldChgRomFile", "any-out.rom");
  // Each dialog as it opens, closed by `button`.
  const next = async (button) => {
    await page.waitForSelector("#message[open]");
    const box = await page.evaluate(() => ({
      text: document.getElementById("message-text").textContent,
      buttons: [...document.querySelectorAll("#message button:not([hidden])")].map((x) => x.textContent),
      focused: document.activeElement.id,
    }));
    await page.click(`#${button}`);
    // Closed, or already showing the next one.
    await page.waitForFunction((said) => !document.getElementById("message").open ||
      document.getElementById("message-text").textContent !== said, box.text);
    return box;
  };
  for (const answer of ["message-no", "message-yes"]) {
    downloads.length = 0;
    await page.click("#Command3");
    assert.ok((await next("message-ok")).text.startsWith("any-o.rom is not the file this UPS patch was made for"));
    const question = await next(answer);
    assert.deepEqual(question, { text: "Apply anyway?", buttons: ["Yes", "No"], focused: "message-no" });
    if (answer === "message-no") continue;
    assert.ok((await next("message-ok")).text.endsWith("; applied all the same, as asked"), "the warning");
    while ((await next("message-ok")).text !== "Done applying UPS patch! ");
    execFileSync(zelkpatch, ["apply", "--ignore-checksum", o, p, path.join(work, "cli-any.rom")], { stdio: "ignore" });
    assert.ok(fs.readFileSync(await save(downloads[0], "any-out.rom")).equals(fs.readFileSync(path.join(work, "cli-any.rom"))));
  }
  await page.waitForTimeout(300);
  assert.equal(await page.evaluate(() => document.getElementById("message").open), false);
  await context.close();
});

test("the page makes BPS and xdelta patches by their names, as the command line does", async () => {
  const { page, context, downloads } = await openPage();
  const original = random(2 << 20, 61);
  const changed = Buffer.concat([original.subarray(0, 1 << 20), random(5000, 62), original.subarray(1 << 20), random(70000, 63)]);
  const a = write("mk-a.rom", original);
  const b = write("mk-b.rom", changed);
  await choose(page, "fldOrigRomFile", a);
  await choose(page, "fldChgRomFile", b);
  await page.fill("#fldOutPatchFile", "hack.bps");
  await page.fill("#fldPatchComment", "made in the page");
  downloads.length = 0;
  assert.deepEqual(await press(page, "Command2"), [{ text: "Done BPS patch generation!", critical: false }]);
  assert.equal(downloads[0].suggestedFilename(), "hack.bps");
  const patch = await save(downloads[0], "hack.bps");
  execFileSync(zelkpatch, ["make", a, b, path.join(work, "cli.bps"), "--comment", "made in the page"]);
  assert.ok(fs.readFileSync(patch).equals(fs.readFileSync(path.join(work, "cli.bps"))), "patch differs from the CLI's");
  assert.ok(fs.statSync(patch).size < 90000, "the moved half was not found");
  await choose(page, "fldOutPatchFile", patch);
  await page.fill("#fldChgRomFile", "back.rom");
  downloads.length = 0;
  assert.deepEqual(await press(page, "Command3"), [{ text: "made in the page", critical: false },
                                                   { text: "Done applying BPS patch! ", critical: false }]);
  assert.ok(fs.readFileSync(await save(downloads[0], "back.rom")).equals(changed));
  // An xdelta patch made in the page by its name is one xdelta3 applies.
  await choose(page, "fldChgRomFile", b);
  await page.fill("#fldOutPatchFile", "hack.xdelta");
  await page.fill("#fldPatchComment", "");
  downloads.length = 0;
  assert.deepEqual(await press(page, "Command2"), [{ text: "Done xdelta (VCDIFF) patch generation!", critical: false }]);
  const xd = await save(downloads[0], "hack.xdelta");
  execFileSync("xdelta3", ["-d", "-f", "-s", a, xd, path.join(work, "xd-out.rom")]);
  assert.ok(fs.readFileSync(path.join(work, "xd-out.rom")).equals(changed), "xdelta3 made another result");
  await context.close();
});

test("no \"Done\" when a chosen file changed meanwhile, and a failing engine gives the form back", async () => {
  const { page, context, downloads } = await openPage();
  // A patch without blocks: the result is the original, passed on as a
  // slice of its File, which the browser reads only when it is saved.
  const a = write("changing.rom", random(3 << 20, 71));
  const p = write("noblocks.ppp", Buffer.concat([Buffer.from("Zelk Patch v1.0"), Buffer.from([20, 0, 0, 0])]));
  await choose(page, "fldOrigRomFile", a);
  await choose(page, "fldOutPatchFile", p);
  await page.fill("#fldChgRomFile", "out.rom");
  fs.writeFileSync(a, random(3 << 20, 72));
  fs.utimesSync(a, new Date(), new Date(Date.now() + 5000));
  downloads.length = 0;
  assert.deepEqual(await press(page, "Command3"),
                   [{ text: "Cannot read changing.rom: the file changed while it was read", critical: true }]);
  assert.equal(downloads.length, 0);
  await context.close();

  // An engine whose script fails: a message, and the form comes back.
  const broken = await browser.newContext({ serviceWorkers: "block" });
  await broken.route("**/worker.js", (route) => route.fulfill({
    contentType: "text/javascript", body: "self.onmessage = () => { throw new Error('broken on purpose'); };" }));
  const page2 = await broken.newPage();
  await page2.goto(base);
  await page2.waitForSelector("#message[open]");
  const said = await page2.textContent("#message-text");
  assert.match(said, /^The operation stopped: the page's engine failed/);
  assert.doesNotMatch(said, /broken on purpose/);
  await page2.click("#message-ok");
  await page2.setInputFiles("#fldOrigRomFile-file", a);
  await page2.setInputFiles("#fldOutPatchFile-file", p);
  assert.deepEqual(await press(page2, "Command3"), [{ text: said, critical: true }]);
  assert.equal(await page2.evaluate(() => document.getElementById("Command3").disabled), false);
  await broken.close();
});

test("out-of-order blocks and a 12 MiB comment apply as on the command line", async () => {
  const { page, context, downloads } = await openPage();
  const original = random(500000, 41);
  // 200,000 one-byte blocks, descending: each rewrites the output behind its
  // end; then the same ascending but for one pair swapped; then two blocks
  // that overlap on a 30-byte original.
  const block = (offset, bytes) => {
    const b = Buffer.alloc(8 + bytes.length);
    b.writeInt32LE(offset, 0);
    b.writeInt32LE(bytes.length, 4);
    Buffer.from(bytes).copy(b, 8);
    return b;
  };
  const blocks = [];
  for (let i = 200000 - 1; i >= 0; --i) blocks.push(block(i * 2, [(i * 7) & 0xff]));
  const swapped = blocks.slice().reverse();
  [swapped[1000], swapped[1001]] = [swapped[1001], swapped[1000]];
  const patchFor = (body, comment) => {
    const head = Buffer.concat([Buffer.from("Zelk Patch v1.0"), Buffer.alloc(4)]);
    head.writeInt32LE(19 + body.length + 1, 15);
    return Buffer.concat([head, body, comment]);
  };
  const comment = Buffer.alloc(12 << 20, 0x41);
  for (const [name, patch] of [["descending.ppp", patchFor(Buffer.concat(blocks), Buffer.alloc(0))],
                               ["swapped.ppp", patchFor(Buffer.concat(swapped), Buffer.alloc(0))],
                               ["overlap.ppp", patchFor(Buffer.concat([block(5, random(10, 43)), block(10, random(10, 44))]), Buffer.alloc(0))],
                               ["long-comment.ppp", patchFor(blocks[0], comment)]]) {
    const a = write("ooo.rom", name === "overlap.ppp" ? original.subarray(0, 30) : original);
    const p = write(name, patch);
    const cli = path.join(work, `cli-${name}.rom`);
    // Blocks out of order fit no file: refused, then applied as asked, here and there.
    execFileSync(zelkpatch, ["apply", "--ignore-checksum", a, p, cli], { stdio: "ignore" });
    await choose(page, "fldOrigRomFile", a);
    await choose(page, "fldOutPatchFile", p);
    await page.fill("#fldChgRomFile", "ooo-out.rom");
    downloads.length = 0;
    const started = Date.now();
    const said = await press(page, "Command3", () => {}, true);
    // Generous: only a way that grows with the square of the blocks is slower.
    assert.ok(Date.now() - started < 60000, `${name} took ${Date.now() - started} ms`);
    console.log(`${name} in the page: ${Date.now() - started} ms`);
    assert.equal(said.at(-1).text, "Done applying ZelkPatch! ");
    if (name === "long-comment.ppp") {
      // The box shows the comment's first 64 KiB and says how much more there is.
      assert.equal(said.length, 2);
      assert.equal(said[0].text, "A".repeat(65536) + `\r\n[${(12 << 20) - 65536} more bytes of the comment not shown]`);
    }
    assert.ok(fs.readFileSync(await save(downloads[0], `web-${name}.rom`)).equals(fs.readFileSync(cli)), name);
  }
  assert.ok(Number(await page.evaluate(() => document.body.dataset.heap)) < 32 << 20);
  await context.close();
});

test("after the first visit the page reloads and works offline", async () => {
  const { page, context, downloads } = await openPage();
  await page.evaluate(() => navigator.serviceWorker.ready);
  // One cache, named after this build.
  const build = await page.evaluate(async () => (await (await fetch("sw.js")).text()).match(/"(zelkpatcher-[^"]+)"/)[1]);
  assert.match(build, /^zelkpatcher-\d+\.\d+\.\d+-[0-9a-f]{12}$/);
  assert.deepEqual(await page.evaluate(() => caches.keys()), [build]);
  // Another app on the same site keeps its cache through a rebuild's clean-up.
  await page.evaluate(async () => (await caches.open("someone-else")).put("/theirs", new Response("theirs")));
  // A rebuild: the page served before reloads once the new build has taken
  // over, and runs the new build's code from the new cache, all of it.
  rebuilt = true;
  try {
    await page.reload();
    await page.waitForFunction(() => self.zelkRebuilt === true, null, { timeout: 30000 });
    assert.deepEqual((await page.evaluate(() => caches.keys())).sort(), ["someone-else", `${build}-rebuilt`]);
    assert.ok(await page.evaluate(async () => (await (await caches.open((await caches.keys()).find((k) => k.endsWith("-rebuilt"))))
      .match("app.js")).text().then((t) => t.includes("zelkRebuilt"))), "the new cache holds the old app.js");
  } finally {
    rebuilt = false;
  }
  await context.setOffline(true);
  await page.reload();
  await page.waitForFunction(() => document.getElementById("fldPatchComment").value.startsWith("Коментарий"));
  const manifest = await page.evaluate(async () => (await fetch("manifest.webmanifest")).json());
  assert.equal(manifest.display, "standalone");
  assert.deepEqual(manifest.icons.map((i) => i.sizes), ["192x192", "512x512"]);
  for (const icon of manifest.icons)
    assert.deepEqual(await page.evaluate(async (src) => {
      const image = await createImageBitmap(await (await fetch(src)).blob());
      return `${image.width}x${image.height}`;
    }, icon.src), icon.sizes);
  const a = write("offline.rom", Buffer.from([1, 2, 3]));
  await choose(page, "fldOrigRomFile", a);
  await choose(page, "fldChgRomFile", write("offline2.rom", Buffer.from([1, 9, 3])));
  await page.fill("#fldOutPatchFile", "off.ppp");
  assert.deepEqual(await press(page, "Command2"), [{ text: "Done ZelkPatch generation!", critical: false }]);
  assert.equal(downloads.length, 1);
  await context.close();
});

test("on a phone the whole form fits the screen and works by touch", async () => {
  const context = await browser.newContext({ viewport: { width: 390, height: 844 }, isMobile: true, hasTouch: true,
                                             deviceScaleFactor: 3, acceptDownloads: true });
  const page = await context.newPage();
  await page.goto(base);
  await page.waitForFunction(() => document.getElementById("fldPatchComment").value.startsWith("Коментарий"));
  const layout = await page.evaluate(() => {
    const r = document.getElementById("form").getBoundingClientRect();
    return { scroll: document.documentElement.scrollWidth, width: document.documentElement.clientWidth,
             right: r.right, ratio: r.width / r.height };
  });
  assert.ok(layout.scroll <= layout.width, `scrolls sideways: ${layout.scroll} > ${layout.width}`);
  assert.ok(layout.right <= layout.width);
  assert.ok(Math.abs(layout.ratio - 459 / 210) < 0.01, `proportions ${layout.ratio}`);
  // A tap on a picker's button opens the file chooser; a tap on a button presses it.
  const [chooser] = await Promise.all([page.waitForEvent("filechooser"), page.tap("#fldOrigRomFile-choose")]);
  await chooser.setFiles(write("phone.rom", Buffer.from([5])));
  assert.equal(await page.inputValue("#fldOrigRomFile"), "phone.rom");
  await page.tap("#Command3");
  await page.waitForSelector("#message[open]");
  assert.match(await page.textContent("#message-text"), /^нету файла /);
  await page.tap("#message-ok");
  // The builder of a hack's page, opened, is on the screen whole too.
  await page.tap("#builder-open");
  assert.deepEqual(await page.evaluate(() => [...document.querySelectorAll("#builder *, #builder-open")]
    .filter((e) => e.getClientRects().length).filter((e) => {
      const r = e.getBoundingClientRect();
      return r.left < 0 || r.right > document.documentElement.clientWidth;
    }).map((e) => e.id || e.tagName)), []);
  assert.ok(await page.evaluate(() => document.documentElement.scrollWidth <= document.documentElement.clientWidth));
  // On a desktop screen the form keeps its designed size.
  const desktop = await browser.newPage();
  await desktop.goto(base);
  assert.equal(await desktop.evaluate(() => document.getElementById("form").getBoundingClientRect().width), 459);
  await desktop.close();
  await context.close();
});

test("a zipped patch applies as on the command line, its readme left aside", async () => {
  const { page, context, downloads } = await openPage();
  const a = write("zip-a.rom", random(1 << 20, 71));
  const changed = Buffer.from(fs.readFileSync(a));
  changed.fill(0x5a, 4096, 4200);
  const b = write("zip-b.rom", changed);
  execFileSync(zelkpatch, ["make", a, b, path.join(work, "hack.bps")]);
  // Written by Python's zipfile, as an archiver would.
  execFileSync("python3", ["-c", `import zipfile, sys
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr("readme.txt", "Faster Menus v1.1")
    z.write(sys.argv[2], "Faster Menus/hack.bps")`, path.join(work, "hack.zip"), path.join(work, "hack.bps")]);
  await choose(page, "fldOrigRomFile", a);
  await choose(page, "fldOutPatchFile", path.join(work, "hack.zip"));
  await page.waitForFunction(() => document.getElementById("fit").textContent.startsWith("hack.zip fits zip-a.rom. "));
  await page.fill("#fldChgRomFile", "hacked.rom");
  downloads.length = 0;
  assert.deepEqual(await press(page, "Command3"), [{ text: "Done applying BPS patch! ", critical: false }]);
  assert.equal(downloads.length, 1);
  assert.ok(fs.readFileSync(await save(downloads[0], "zip-hacked.rom")).equals(changed), "the page's result differs");
  // Two patches in one archive: the one to use is chosen from a list, by keyboard.
  const other = Buffer.from(fs.readFileSync(a));
  other.fill(0x33, 9000, 9100);
  execFileSync(zelkpatch, ["make", a, write("zip-c.rom", other), path.join(work, "other.bps")]);
  execFileSync("python3", ["-c", `import zipfile, sys
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED) as z:
    z.write(sys.argv[2], "English/hack.bps")
    z.write(sys.argv[3], "Spanish/hack.bps")`, path.join(work, "two.zip"), path.join(work, "hack.bps"), path.join(work, "other.bps")]);
  await choose(page, "fldOutPatchFile", path.join(work, "two.zip"));
  await page.waitForSelector("#message[open] #message-list:not([hidden])");
  assert.equal(await page.textContent("#message-text"), "two.zip holds 2 patches. Choose the one to use:");
  await page.keyboard.press("ArrowDown");
  await page.keyboard.press("Enter");
  await page.waitForFunction(() => document.getElementById("fldOutPatchFile").value === "two.zip/Spanish/hack.bps");
  await page.waitForFunction(() => document.getElementById("fit").textContent.startsWith("two.zip/Spanish/hack.bps fits zip-a.rom. "));
  downloads.length = 0;
  assert.deepEqual(await press(page, "Command3"), [{ text: "Done applying BPS patch! ", critical: false }]);
  assert.ok(fs.readFileSync(await save(downloads[0], "zip-other.rom")).equals(other), "the chosen patch was not applied");
  await context.close();
});

test("two patches chosen together apply in order, the order shown in the field", async () => {
  const { page, context, downloads } = await openPage();
  const a = write("chain-a.rom", random(300000, 81));
  const b = Buffer.from(fs.readFileSync(a));
  b[1000] ^= 1;
  const c = Buffer.from(b);
  c.fill(7, 200000, 200010);
  write("chain-b.rom", b);
  write("chain-c.rom", c);
  execFileSync(zelkpatch, ["make", a, path.join(work, "chain-b.rom"), path.join(work, "1-translation.bps")]);
  execFileSync(zelkpatch, ["make", path.join(work, "chain-b.rom"), path.join(work, "chain-c.rom"),
                           path.join(work, "2-fixes.ppp"), "--comment", "fixes"]);
  await choose(page, "fldOrigRomFile", a);
  await page.setInputFiles("#fldOutPatchFile-file", [path.join(work, "1-translation.bps"), path.join(work, "2-fixes.ppp")]);
  assert.equal(await page.inputValue("#fldOutPatchFile"), '"1-translation.bps" "2-fixes.ppp"');
  await page.waitForFunction(() => document.getElementById("fit").textContent.includes("patch 2 of 2: 2-fixes.ppp fits the result of patch 1"));
  await page.fill("#fldChgRomFile", "chained.rom");
  downloads.length = 0;
  assert.deepEqual(await press(page, "Command3"), [{ text: "fixes", critical: false },
                                                   { text: "Done applying 2 patches!", critical: false }]);
  assert.equal(downloads.length, 1);
  assert.ok(fs.readFileSync(await save(downloads[0], "chained.rom")).equals(c), "the page's result differs");
  // The other way round the BPS patch meets the result of the other, and says so.
  await page.fill("#fldOutPatchFile", '"2-fixes.ppp" "1-translation.bps"');
  await page.waitForFunction(() => document.getElementById("fit").textContent.includes("patch 2 of 2: 1-translation.bps does not fit the result of patch 1"));
  await context.close();
});

// A hack's page: the built page copied into sites/NAME beside `hack` (an
// object, or hack.json's text as it is) and `files` (path -> bytes).
function site(name, hack, files = {}) {
  const dir = path.join(work, "sites", name);
  fs.rmSync(dir, { recursive: true, force: true });
  fs.cpSync(root, dir, { recursive: true });
  fs.writeFileSync(path.join(dir, "hack.json"), typeof hack === "string" ? hack : JSON.stringify(hack));
  for (const [file, bytes] of Object.entries(files)) {
    fs.mkdirSync(path.dirname(path.join(dir, file)), { recursive: true });
    fs.writeFileSync(path.join(dir, file), bytes);
  }
  return `${base}sites/${name}/`;
}

const crcHex = (bytes) => crc32(bytes).toString(16).padStart(8, "0");
const sha1 = (bytes) => createHash("sha1").update(bytes).digest("hex");

// A ROM, the hack's main patch (BPS, zipped under English/) and an
// optional add-on (IPS) made against the main patch's result.
function hackFiles(seed) {
  const rom = random(1 << 20, seed);
  const main = Buffer.from(rom);
  main.fill(0x42, 70000, 70400);
  main[5] ^= 0xff;
  const both = Buffer.from(main);
  both.fill(0x11, 300000, 300020);
  const tag = `hack${seed}`;
  execFileSync(zelkpatch, ["make", write(`${tag}.sfc`, rom), write(`${tag}-main.sfc`, main), path.join(work, `${tag}.bps`)]);
  execFileSync(zelkpatch, ["make", path.join(work, `${tag}-main.sfc`), write(`${tag}-both.sfc`, both),
                           path.join(work, `${tag}.ips`)]);
  execFileSync("python3", ["-c", `import zipfile, sys
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr("English/readme.txt", "read me")
    z.write(sys.argv[2], "English/main.bps")`, path.join(work, `${tag}.zip`), path.join(work, `${tag}.bps`)]);
  return { rom, main, both, zip: fs.readFileSync(path.join(work, `${tag}.zip`)),
           ips: fs.readFileSync(path.join(work, `${tag}.ips`)) };
}

async function openHack(url, options = {}) {
  const context = await browser.newContext({ acceptDownloads: true, ...options });
  const page = await context.newPage();
  const downloads = [];
  page.on("download", (d) => downloads.push(d));
  await page.goto(url);
  return { page, context, downloads };
}

test("a hack's page applies its patches to the ROM it names, on a phone, headered, zipped, or refused", async () => {
  const f = hackFiles(91);
  const url = site("phone", {
    title: "<b>Super</b> Test Hack",
    description: "Line one.\n<img src=x onerror=alert(1)>",
    original: [{ name: "Test Game (Japan).sfc", size: 1 << 20, crc32: "0badf00d" },
               { name: "Test Game (USA).sfc", size: f.rom.length, crc32: crcHex(f.rom), sha1: sha1(f.rom).toUpperCase() }],
    patches: [{ file: "patches/hack.zip/English/main.bps", name: "Main hack" },
              { file: "patches/fast text.ips", name: "Fast <i>text</i>", optional: true, checked: false }],
    output: "Super Test Hack.sfc",
  }, { "patches/hack.zip": f.zip, "patches/fast text.ips": f.ips });
  const { page, context, downloads } = await openHack(url, { viewport: { width: 390, height: 844 }, isMobile: true,
                                                             hasTouch: true, deviceScaleFactor: 2 });
  await page.waitForSelector("#hack:not([hidden])");
  // Every text from hack.json as text.
  assert.equal(await page.textContent("h1"), "<b>Super</b> Test Hack");
  assert.equal(await page.evaluate(() => document.querySelectorAll("b, i, img").length), 0);
  assert.match(await page.textContent("#hack-originals"), /Test Game \(USA\)\.sfc: 1048576 bytes, CRC-32 [0-9a-f]{8}/);
  assert.ok(await page.getByRole("checkbox", { name: "Fast <i>text</i>" }).isVisible());
  // On the phone's screen, whole.
  const layout = await page.evaluate(() => ({
    scroll: document.documentElement.scrollWidth, width: document.documentElement.clientWidth,
    outside: [...document.querySelectorAll("#hack *, h1")].filter((e) => e.getClientRects().length)
      .filter((e) => { const r = e.getBoundingClientRect(); return r.left < 0 || r.right > document.documentElement.clientWidth; })
      .map((e) => e.id || e.tagName),
  }));
  assert.ok(layout.scroll <= layout.width, `scrolls sideways: ${layout.scroll} > ${layout.width}`);
  assert.deepEqual(layout.outside, []);
  const apply = async (rom, name, expected, said, anyway = false) => {
    await page.setInputFiles("#hack-file", { name, mimeType: "application/octet-stream", buffer: rom });
    downloads.length = 0;
    const told = (await press(page, "hack-apply", () => {}, anyway)).map((m) => m.text);
    said.forEach((line, i) => assert.match(told[i] ?? "", line, name));
    assert.equal(told.length, said.length, `${name}: ${told.join(" | ")}`);
    assert.equal(downloads.length, expected ? 1 : 0, name);
    if (!expected) return;
    assert.equal(downloads[0].suggestedFilename(), "Super Test Hack.sfc");
    assert.ok(fs.readFileSync(await save(downloads[0], `site-${name}`)).equals(expected), `${name}: the result differs`);
  };
  await apply(f.rom, "game.sfc", f.main, [/^Done applying BPS patch! $/]);
  await page.tap("#hack-option-1");
  await apply(f.rom, "game.sfc", f.both, [/^Done applying 2 patches!$/]);
  // Behind a copier header, the header kept; inside a zip; another ROM
  // refused, naming what the hack needs and what was chosen.
  const header = random(512, 5);
  await apply(Buffer.concat([header, f.rom]), "headered.sfc", Buffer.concat([header, f.both]),
              [/^headered\.sfc has a 512-byte copier header .* kept in front of the result/, /^Done applying 2 patches!$/]);
  execFileSync("python3", ["-c", `import zipfile, sys
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr("Test Game (USA).sfc", open(sys.argv[2], "rb").read())`, path.join(work, "rom91.zip"),
                           path.join(work, "hack91.sfc")]);
  await apply(fs.readFileSync(path.join(work, "rom91.zip")), "rom91.zip", f.both, [/^Done applying 2 patches!$/]);
  const other = random(1 << 20, 92);
  await apply(other, "other.sfc", null, [new RegExp("^other\\.sfc is not a ROM this hack is made for\\. This hack needs one of:\n" +
    "  Test Game \\(Japan\\)\\.sfc \\(1048576 bytes, CRC-32 0badf00d\\)\n  Test Game \\(USA\\)\\.sfc .*\n" +
    `The file chosen:\nSize: +1048576 bytes\nCRC-32: ${crcHex(other)}\nMD5: .*\nSHA-1: +${sha1(other)}$`),
    /\?$/]);
  // Applied anyway, as asked: to the file as it is, what the patches' own
  // checksums find said before "Done".
  await page.setInputFiles("#hack-file", { name: "other.sfc", mimeType: "application/octet-stream", buffer: other });
  downloads.length = 0;
  const anyway = (await press(page, "hack-apply", () => {}, true)).map((m) => m.text);
  assert.match(anyway.join("\n"), /applied all the same, as asked/);
  assert.equal(anyway.at(-1), "Done applying 2 patches!");
  assert.equal(downloads.length, 1);
  await context.close();
});

test("each broken hack.json is told in the page, naming it and what is wrong", async () => {
  const rom = { name: "Game.sfc", crc32: "01234567" };
  const good = { file: "p.ips" };
  const cases = [
    ["{ \"title\": ", /^hack\.json is not valid JSON: /],
    [{ title: "x", original: rom }, /^hack\.json lacks "patches"/],
    [{ original: rom, patches: [{ file: "missing.bps" }] }, /^hack\.json: patches\[0\]\.file "missing\.bps" names no file here \(404/],
    [{ original: { name: "Game.sfc", crc32: "123" }, patches: [good] }, /^hack\.json: original\.crc32 must be 8 hex digits, not "123"/],
    [{ original: [rom, { name: "B", sha1: "ab" }], patches: [good] }, /^hack\.json: original\[1\]\.sha1 must be 40 hex digits/],
    [{ original: rom, patches: [good, { file: "../p.ips" }] }, /^hack\.json: patches\[1\]\.file "\.\.\/p\.ips" must be a path inside/],
    [{ original: rom, patches: [{ file: "https://example.com/p.ips" }] }, /^hack\.json: patches\[0\]\.file "https:.*an address of its own/],
    [{ original: rom, patches: [{ file: "//example.com/p.ips" }] }, /^hack\.json: patches\[0\]\.file .* must be a path inside/],
    [{ original: rom, patches: [{ file: "patches\\p.ips" }] }, /^hack\.json: patches\[0\]\.file .* forward slashes/],
    [{ original: { name: "Game.sfc" }, patches: [good] }, /^hack\.json: original must give at least one of/],
  ];
  const context = await browser.newContext();
  const page = await context.newPage();
  for (const [i, [hack, told]] of cases.entries()) {
    await page.goto(site(`broken${i}`, hack, { "p.ips": Buffer.from("PATCHEOF") }));
    await page.waitForSelector("#hack-problem:not([hidden])");
    assert.match(await page.textContent("#hack-problem"), told, `case ${i}`);
    // The ordinary form still works; the hack's own part is not half shown.
    assert.ok(await page.isVisible("#Command3"), `case ${i}`);
    assert.ok(!(await page.isVisible("#hack")), `case ${i}`);
  }
  await context.close();
});

test("a hack's page works offline after the first visit, its patches kept", async () => {
  const f = hackFiles(93);
  const url = site("offline", { title: "Offline Hack", original: { name: "Game.sfc", crc32: crcHex(f.rom) },
                                patches: [{ file: "patches/hack.zip/English/main.bps" }], output: "out.sfc" },
                   { "patches/hack.zip": f.zip });
  const { page, context, downloads } = await openHack(url);
  await page.waitForSelector("#hack:not([hidden])");
  await page.evaluate(() => navigator.serviceWorker.ready);
  // Installed once the hack's files are kept too.
  await page.waitForFunction(async () => Boolean(await (await caches.open((await caches.keys())[0])).match("patches/hack.zip")));
  await context.setOffline(true);
  await page.reload();
  await page.waitForSelector("#hack:not([hidden])");
  await page.setInputFiles("#hack-file", write("offline-hack.sfc", f.rom));
  assert.deepEqual(await press(page, "hack-apply"), [{ text: "Done applying BPS patch! ", critical: false }]);
  assert.ok(fs.readFileSync(await save(downloads[0], "offline-hack-out.sfc")).equals(f.main));
  await context.close();
});

test("the page makes a hack's page: its zip, unpacked and served, applies the hack", async () => {
  const f = hackFiles(94);
  const { page, context } = await openPage();
  await page.getByRole("button", { name: "Make a page for your hack" }).click();
  await page.getByLabel("Title").fill("Built Hack");
  await page.getByLabel("Description").fill("Two lines,\nas typed.");
  const [patches] = await Promise.all([page.waitForEvent("filechooser"),
                                       page.getByRole("button", { name: "Choose the patches" }).click()]);
  await patches.setFiles([path.join(work, "hack94.bps"), path.join(work, "hack94.ips")]);
  await page.getByRole("checkbox", { name: "Optional" }).nth(1).check();
  const [rom] = await Promise.all([page.waitForEvent("filechooser"),
                                   page.getByRole("button", { name: "Choose the original ROM" }).click()]);
  await rom.setFiles(path.join(work, "hack94.sfc"));
  await page.waitForFunction(() => document.getElementById("builder-rom-facts").textContent.includes("CRC-32"));
  assert.equal(await page.getByLabel("Result's file name").inputValue(), "Built Hack.sfc");
  // The page's own files are fetched first, then the zip is written.
  const [download] = await Promise.all([page.waitForEvent("download", { timeout: 60000 }),
                                        page.getByRole("button", { name: "Download the page" }).click()]);
  assert.equal(download.suggestedFilename(), "Built-Hack-page.zip");
  const zip = await save(download, "built.zip");
  const dir = path.join(work, "sites", "built");
  fs.rmSync(dir, { recursive: true, force: true });
  execFileSync("python3", ["-c", "import zipfile, sys; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])", zip, dir]);
  const hack = JSON.parse(fs.readFileSync(path.join(dir, "hack.json"), "utf8"));
  // The ROM's hashes, never its bytes.
  assert.deepEqual(hack.original, { name: "hack94.sfc", size: f.rom.length, crc32: crcHex(f.rom),
                                    md5: createHash("md5").update(f.rom).digest("hex"), sha1: sha1(f.rom) });
  assert.ok(!fs.readdirSync(dir, { recursive: true }).some((name) => name.endsWith(".sfc")));
  for (const file of fs.readdirSync(root)) assert.ok(fs.readFileSync(path.join(dir, file)).equals(fs.readFileSync(path.join(root, file))), file);
  await context.close();
  const built = await openHack(`${base}sites/built/`);
  await built.page.waitForSelector("#hack:not([hidden])");
  assert.equal(await built.page.textContent("h1"), "Built Hack");
  await built.page.getByRole("checkbox", { name: "hack94" }).check();
  await built.page.setInputFiles("#hack-file", path.join(work, "hack94.sfc"));
  assert.deepEqual((await press(built.page, "hack-apply")).map((m) => m.text), ["Done applying 2 patches!"]);
  assert.equal(built.downloads[0].suggestedFilename(), "Built Hack.sfc");
  assert.ok(fs.readFileSync(await save(built.downloads[0], "built-out.sfc")).equals(f.both));
  await built.context.close();
});

test("a result whose own header checksum a patch left wrong is mended on Yes, kept as made on No", async () => {
  const { page, context, downloads } = await openPage();
  // A Game Boy Advance image: the complement at 0xBD over 0xA0..0xBC.
  const seal = (rom) => {
    let c = 0;
    for (let i = 0xa0; i <= 0xbc; ++i) c -= rom[i];
    rom[0xbd] = (c - 0x19) & 0xff;
    return rom;
  };
  const rom = random(0x10000, 95);
  rom[3] = 0xea;
  rom[0xb2] = 0x96;
  seal(rom);
  const changed = Buffer.from(rom);
  changed.write("ZELK HACK", 0xa0);
  await choose(page, "fldOrigRomFile", write("gba.gba", rom));
  execFileSync(zelkpatch, ["make", path.join(work, "gba.gba"), write("gba-hack.gba", changed), path.join(work, "gba.ips")]);
  await choose(page, "fldOutPatchFile", path.join(work, "gba.ips"));
  await page.fill("#fldChgRomFile", "gba-out.gba");
  for (const yes of [false, true]) {
    downloads.length = 0;
    const said = await press(page, "Command3", () => {}, yes);
    assert.equal(said[0].text, "Fix the ROM's internal checksum?");
    assert.match(said.at(-2).text, yes ? /^Mended the result's Game Boy Advance header complement: / :
                                         /^The result's Game Boy Advance header complement is wrong /);
    assert.equal(said.at(-1).text, "Done applying IPS patch! ");
    assert.equal(downloads.length, 1);
    const expected = yes ? seal(Buffer.from(changed)) : changed;
    assert.ok(fs.readFileSync(await save(downloads[0], "gba-out.gba")).equals(expected), `yes: ${yes}`);
  }
  await context.close();
});

test("DAT files kept in the browser name both ROMs beside the verdict, until forgotten", async () => {
  const { page, context } = await openPage();
  const a = random(65536, 96), other = random(65536, 97);
  const changed = Buffer.from(a);
  changed[10] ^= 1;
  execFileSync(zelkpatch, ["make", write("dat-a.sfc", a), write("dat-b.sfc", changed), path.join(work, "dat.bps")]);
  const game = (name, bytes) => `<game name="${name}"><rom name="${name}.sfc" size="${bytes.length}" crc="${crcHex(bytes)}"/></game>`;
  write("names.dat", `<?xml version="1.0"?><datafile><header><name>Test DAT</name></header>${game("Zelk Game (Japan)", a)}` +
                     `${game("Other Game (Europe)", other)}</datafile>`);
  await page.setInputFiles("#dats-file", path.join(work, "names.dat"));
  await page.waitForFunction(() => document.getElementById("dats-kept").textContent === "1 DAT file kept in this browser");
  await choose(page, "fldOrigRomFile", write("dat-other.sfc", other));
  await choose(page, "fldOutPatchFile", path.join(work, "dat.bps"));
  const both = "This file is Other Game (Europe), in Test DAT.\nThe patch is for Zelk Game (Japan), in Test DAT.";
  await page.waitForFunction((text) => document.getElementById("fit").textContent.endsWith(text), both);
  // Kept across visits; forgotten on request.
  await page.reload();
  await page.waitForFunction(() => document.getElementById("dats-kept").textContent === "1 DAT file kept in this browser");
  await page.click("#dats-forget");
  await page.waitForFunction(() => document.getElementById("dats-kept").textContent === "");
  assert.deepEqual(await page.evaluate(() => caches.has("zelk-dats")), false);
  await context.close();
});
