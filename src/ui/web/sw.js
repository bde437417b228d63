// Keeps the page's files for use offline, from the first visit on. The
// cache is named after the build, so a new build's worker takes over at the
// next visit and removes what the old one kept: nobody is left on a stale
// copy. The build writes its version in place of the mark below.
//
// A hack's page also keeps its hack.json and the patches it lists. Those
// are the hack author's, who may update them without a new build: they are
// fetched afresh while the network answers, and kept for when it does not.
"use strict";
importScripts("shared.js");
const CACHE = "zelkpatcher-@VERSION@";
const FILES = self.zelkPage.files;

// Each file from the server itself, never from the browser's HTTP cache: a
// new build's cache must hold that build's files, all of them or none.
const fresh = (file) => new Request(file, { cache: "reload" });

// The hack's files, where the page is a hack's page; none is needed for the
// page itself to work.
async function keepHack(cache) {
  try {
    const response = await fetch(fresh("hack.json"));
    if (!response.ok) return;
    await cache.put("hack.json", response.clone());
    const hack = self.zelkPage.readHack(await response.text());
    const holders = [...new Set(hack.patches.map((p) => self.zelkPage.address(self.zelkPage.holder(p.file))))];
    await Promise.all(holders.map(async (file) => {
      const patch = await fetch(fresh(file));
      if (patch.ok) await cache.put(file, patch);
    }));
  } catch {
    // A broken hack.json is the page's to tell.
  }
}

self.addEventListener("install", (event) => {
  event.waitUntil(caches.open(CACHE)
    .then(async (cache) => {
      await cache.addAll(FILES.map(fresh));
      await keepHack(cache);
    })
    .then(() => self.skipWaiting()));
});

self.addEventListener("activate", (event) => {
  event.waitUntil(caches.keys()
    .then((keys) => Promise.all(keys.filter((key) => key.startsWith("zelkpatcher-") && key !== CACHE)
      .map((key) => caches.delete(key))))
    .then(() => self.clients.claim()));
});

const scope = new URL("./", self.location.href);
const own = new Set(FILES.map((file) => new URL(file, scope).href));

self.addEventListener("fetch", (event) => {
  if (event.request.method !== "GET") return;
  const url = new URL(event.request.url);
  url.search = "";
  event.respondWith(caches.open(CACHE).then(async (cache) => {
    if (own.has(url.href) || url.origin !== scope.origin || !url.href.startsWith(scope.href))
      return (await cache.match(event.request, { ignoreSearch: true })) ?? fetch(event.request);
    // The hack's files: the network's answer, kept; the kept one offline.
    try {
      const response = await fetch(event.request);
      if (response.ok) await cache.put(url.href, response.clone());
      return response;
    } catch (failure) {
      const kept = await cache.match(url.href);
      if (kept) return kept;
      throw failure;
    }
  }));
});
