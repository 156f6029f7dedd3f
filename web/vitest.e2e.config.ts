import { defineConfig } from "vitest/config";

// Browser journeys: a real `tsauthor serve` and Debian's Chromium, one file at a time.
export default defineConfig({
  test: {
    include: ["e2e/**/*.journey.ts"],
    testTimeout: 120_000,
    hookTimeout: 120_000,
    fileParallelism: false,
  },
});
