// The module's kernel table, slot by slot against the plain kernels, at
// every level: zindle-kernel-check.wasm (tests/web/kernels/), built with
// the module's kernels by the web preset, run here as the native kernel
// tests run on x86.
import assert from 'node:assert/strict';
import { existsSync, readFileSync } from 'node:fs';
import { test } from 'node:test';

import { requireParts } from './harness.mjs';

const check = process.env.ZINDLE_KERNEL_CHECK;
requireParts([[`${check} (make web)`, check && existsSync(check)]]);

const z = new WebAssembly.Instance(new WebAssembly.Module(readFileSync(check)), {}).exports;
const LEVELS = ['plain', 'sse2', 'ssse3', 'avx2'];
const SLOTS = { 1: 'stage', 2: 'stage_slope', 4: 'stage_loop', 8: 'clip', 16: 'smooth_group', 32: 'smooth_all' };
const names = (bits) => Object.entries(SLOTS).filter(([bit]) => bits & bit).map(([, name]) => name);

test('each level holds the SIMD128 kernels it stands for, the plain ones below', () => {
  const slots = LEVELS.map((_, level) => names(z.zindle_check_slots(level)));
  if (!z.zindle_check_with_kernels()) {
    // Built with ZINDLE_KERNELS=OFF: the plain table everywhere.
    assert.deepEqual(slots, [[], [], [], []]);
    return;
  }
  assert.deepEqual(slots, [
    [],
    ['clip', 'smooth_group'],
    ['stage', 'stage_slope', 'stage_loop', 'clip', 'smooth_group'],
    ['stage', 'stage_slope', 'stage_loop', 'clip', 'smooth_group'],
  ]);
});

test('every slot that is not the plain one gives the plain values, at every level', () => {
  for (const [level, name] of LEVELS.entries()) {
    const failed = z.zindle_check_kernels(level);
    assert.deepEqual(names(failed), [], `${name}: ${names(failed).join(', ')} differ from the plain kernels`);
  }
});
