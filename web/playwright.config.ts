import { defineConfig } from '@playwright/test';

// The page in Debian's Chromium, headless, served from dist/ on 127.0.0.1. No browser is
// downloaded: the system's Chromium is used (CHROMIUM names another one).
const port = Number(process.env.OVITONE_WEB_PORT ?? 8123);

export default defineConfig({
  testDir: 'tests',
  testMatch: '*.test.ts',
  timeout: 60_000,
  workers: 2,
  reporter: [['list']],
  use: {
    baseURL: `http://127.0.0.1:${port}/`,
    viewport: { width: 1320, height: 860 },
    acceptDownloads: true,
    launchOptions: {
      executablePath: process.env.CHROMIUM ?? '/usr/bin/chromium',
      args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
        '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    },
  },
  webServer: {
    command: `node serve.mjs --port ${port}`,
    url: `http://127.0.0.1:${port}/`,
    reuseExistingServer: false,
  },
});
