// Keeps the page's files for use offline, from the first visit on. The
// cache is named after the build, so a new build's worker takes over at the
// next visit and removes what the old one kept: nobody is left on a stale
// copy. The build writes its version in place of the mark below.
"use strict";
const CACHE = "zelkpatcher-@VERSION@";
const FILES = ["./", "index.html", "form.css", "style.css", "app.js", "worker.js", "zelkpatch.js", "zelkpatch.wasm",
               "icon.png", "icon-192.png", "icon-512.png", "manifest.webmanifest"];

// Each file from the server itself, never from the browser's HTTP cache: a
// new build's cache must hold that build's files, all of them or none.
self.addEventListener("install", (event) => {
  event.waitUntil(caches.open(CACHE)
    .then((cache) => cache.addAll(FILES.map((file) => new Request(file, { cache: "reload" }))))
    .then(() => self.skipWaiting()));
});

self.addEventListener("activate", (event) => {
  event.waitUntil(caches.keys()
    .then((keys) => Promise.all(keys.filter((key) => key.startsWith("zelkpatcher-") && key !== CACHE)
      .map((key) => caches.delete(key))))
    .then(() => self.clients.claim()));
});

self.addEventListener("fetch", (event) => {
  if (event.request.method !== "GET") return;
  event.respondWith(caches.open(CACHE).then(async (cache) =>
    (await cache.match(event.request, { ignoreSearch: true })) ?? fetch(event.request)));
});
