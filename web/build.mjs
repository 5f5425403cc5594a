// Builds the page into one static folder (dist/ by default) that any web server can host:
// the bundled and minified page, the two WebAssembly modules, the pictures and the test
// sound, the web app manifest and a service worker that keeps all of it for offline use.
//   node build.mjs [--wasm DIR] [--out DIR]
import { createHash } from 'node:crypto';
import { copyFileSync, mkdirSync, readFileSync, readdirSync, rmSync, statSync, writeFileSync } from 'node:fs';
import { dirname, join, relative } from 'node:path';
import { fileURLToPath } from 'node:url';
import * as esbuild from 'esbuild';

const here = dirname(fileURLToPath(import.meta.url));
const args = process.argv.slice(2);
const option = (name, fallback) => {
  const at = args.indexOf(name);
  return at >= 0 ? args[at + 1] : fallback;
};
const wasmDir = option('--wasm', join(here, '..', 'build-web', 'web', 'wasm'));
const out = option('--out', join(here, 'dist'));
const resources = join(here, '..', 'resources');

rmSync(out, { recursive: true, force: true });
mkdirSync(join(out, 'media'), { recursive: true });
mkdirSync(join(out, 'icons'), { recursive: true });

// The page's code: one module per entry (the demo and the stand-in for navigator.hid are
// loaded only when used), shared code split out.
await esbuild.build({
  entryPoints: [join(here, 'src', 'app.ts'), join(here, 'src', 'sim-hid.ts')],
  external: ['./ovitone-core.mjs', './ovitone-sim.mjs'],
  outdir: out, bundle: true, splitting: true, format: 'esm', minify: true, target: 'es2022',
  chunkNames: 'chunk-[hash]', logLevel: 'warning',
});
// The emscripten modules, minified; each finds its .wasm beside itself.
for (const name of ['ovitone-core', 'ovitone-sim']) {
  const code = readFileSync(join(wasmDir, `${name}.mjs`), 'utf8');
  const { code: small } = await esbuild.transform(code, { minify: true, format: 'esm', target: 'es2022' });
  writeFileSync(join(out, `${name}.mjs`), small);
  copyFileSync(join(wasmDir, `${name}.wasm`), join(out, `${name}.wasm`));
}
const { code: css } = await esbuild.transform(readFileSync(join(here, 'styles.css'), 'utf8'), { loader: 'css', minify: true });
writeFileSync(join(out, 'styles.css'), css);
copyFileSync(join(here, 'index.html'), join(out, 'index.html'));
for (const name of ['Quendel.jpg', 'blue.bmp', 'Audio Test.mp3']) {
  copyFileSync(join(resources, 'media', name), join(out, 'media', name));
}
for (const size of [64, 192, 512]) {
  copyFileSync(join(resources, `ovitone-${size}.png`), join(out, 'icons', `ovitone-${size}.png`));
}
writeFileSync(join(out, 'manifest.webmanifest'), JSON.stringify({
  name: 'Ovitone USB Utility',
  short_name: 'Ovitone',
  description: 'Configure, test and upgrade the Ovitone USB encoder over WebHID.',
  start_url: './',
  scope: './',
  display: 'standalone',
  background_color: '#e9eef3',
  theme_color: '#1f3b57',
  icons: [
    { src: 'icons/ovitone-64.png', sizes: '64x64', type: 'image/png' },
    { src: 'icons/ovitone-192.png', sizes: '192x192', type: 'image/png' },
    { src: 'icons/ovitone-512.png', sizes: '512x512', type: 'image/png' },
  ],
}, null, 2) + '\n');

// The service worker keeps every file of this build; a new build has a new cache name.
const files = [];
const walk = (dir) => {
  for (const name of readdirSync(dir).sort()) {
    const path = join(dir, name);
    if (statSync(path).isDirectory()) walk(path);
    else files.push(relative(out, path).split('\\').join('/'));
  }
};
walk(out);
const hash = createHash('sha256');
for (const file of files) hash.update(file).update(readFileSync(join(out, file)));
const worker = readFileSync(join(here, 'src', 'sw.js'), 'utf8')
  .replace('__CACHE__', `ovitone-${hash.digest('hex').slice(0, 12)}`)
  .replace('__FILES__', JSON.stringify(['./', ...files.map((f) => encodeURI(f))]));
writeFileSync(join(out, 'sw.js'), worker);

let page = 0;
let all = 0;
for (const file of files) {
  const size = statSync(join(out, file)).size;
  all += size;
  if (/\.(html|m?js|css|wasm)$/.test(file)) page += size;
}
console.log(`web page built in ${out}: ${files.length + 1} files, page (HTML, JS, CSS, WebAssembly) ${page} bytes, with pictures, sound and icons ${all} bytes`);
