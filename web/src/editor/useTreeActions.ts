import { useQueryClient, type QueryKey } from "@tanstack/react-query";
import { useCallback, useState } from "react";
import * as edit from "../api/edit";
import type { NodeRef, TreeRef } from "../api/edit";
import { keys } from "../api/queries";
import type { RepEntity } from "../api/types";
import type { ClipboardEntry } from "./clipboard";
import type { NewChild } from "./AddChildDialog";
import type { NodeDraft } from "./drafts";
import { PlainError } from "../errors/messages";
import { formatList } from "./lists";
import { planMove, type TreeModel } from "./treeModel";

/**
 * The editor's changes, each one or more engine calls followed by a reload of
 * what they touched. Errors are thrown to the dialog or form that asked, which
 * keeps what the user typed.
 */
export function useTreeActions(
  tree: TreeRef,
  model: TreeModel | null,
  select: (nodeId: number) => void,
) {
  const client = useQueryClient();
  const [moveError, setMoveError] = useState<unknown>(null);
  const [moving, setMoving] = useState(false);

  const refresh = useCallback(
    async (...extra: QueryKey[]) => {
      await Promise.all(
        [keys.tree(tree.treeType, tree.id), keys.allProducts, keys.templates, ...extra].map((queryKey) =>
          client.invalidateQueries({ queryKey }),
        ),
      );
    },
    [client, tree.treeType, tree.id],
  );

  /** Runs the calls, then reloads, also when a call failed part-way. */
  const run = useCallback(
    async <R,>(calls: () => Promise<R>, ...extra: QueryKey[]): Promise<R> => {
      try {
        return await calls();
      } finally {
        await refresh(...extra);
      }
    },
    [refresh],
  );

  const save = (nodeId: number, repId: number, repType: number, d: NodeDraft) =>
    run(
      () =>
        edit.saveNode(
          tree,
          nodeId,
          repId,
          { short: d.short, long: d.long, visibilities: formatList(d.visibilities), faqs: formatList(d.faqs), hyperlink: d.hyperlink },
          d.propagateContent,
          d.propagateDown,
        ),
      keys.whereUsed(repType, repId),
      ["tree"],
    );

  const addChild = async (parentId: number, c: NewChild) => {
    const nodeId = await run(() =>
      edit.addChildNew(tree, parentId, c.type, {
        short: c.short,
        long: c.long,
        visibilities: formatList(c.visibilities),
        faqs: ";",
        hyperlink: -1,
      }),
    );
    select(nodeId);
  };

  const addFromRepository = async (parentId: number, entity: RepEntity, visibilities: string[]) => {
    const nodeId = await run(() =>
      edit.addChildFromRep(tree, parentId, entity.repType, entity.repId, formatList(visibilities)),
    );
    select(nodeId);
  };

  const remove = async (nodeId: number) => {
    const parentId = await run(() => edit.deleteNode(tree, nodeId));
    select(parentId);
  };

  const move = (nodeId: number, direction: "up" | "down", steps = 1) =>
    run(async () => {
      for (let i = 0; i < steps; i++) {
        await edit.moveNode(tree, nodeId, direction === "up" ? edit.MOVE_UP : edit.MOVE_DOWN);
      }
    });

  /** A drag among siblings, carried out as one-place moves. */
  const dropMove = (nodeId: number, dropIndex: number) => {
    const place = model?.places.get(nodeId);
    if (!place || moving) return;
    const plan = planMove(place.index, dropIndex);
    if (!plan) return;
    setMoveError(null);
    setMoving(true);
    move(nodeId, plan.direction, plan.steps)
      .then(() => select(nodeId))
      .catch(setMoveError)
      .finally(() => setMoving(false));
  };

  const visibilitiesToAdd = (src: NodeRef, dstNodeId: number) =>
    edit.getVisibilitiesToAdd(src, { ...tree, nodeId: dstNodeId });

  /**
   * Pastes the clipboard's node below a node. A cut node is removed from its
   * place afterwards; when that fails the copy stays and the error says so.
   */
  const paste = async (entry: ClipboardEntry, dstNodeId: number, toAdd: string) => {
    const src: NodeRef = { treeType: entry.treeType, id: entry.id, nodeId: entry.nodeId };
    const sourceKey = keys.tree(entry.treeType, entry.id);
    await run(() => edit.paste(src, { ...tree, nodeId: dstNodeId }, toAdd), sourceKey);
    if (entry.mode === "cut") {
      try {
        await run(() => edit.deleteNode(src, entry.nodeId), sourceKey);
      } catch (e) {
        throw new CutNotRemovedError(e);
      }
    }
    select(dstNodeId);
  };

  const insertTemplate = async (templateId: number, dstNodeId: number, toAdd: string) => {
    const reason = await run(() => edit.addTemplateToNode(templateId, { ...tree, nodeId: dstNodeId }, toAdd));
    if (reason) throw new PlainError(`The template could not be inserted (the engine gave reason ${reason}).`);
    select(dstNodeId);
  };

  return { save, addChild, addFromRepository, remove, move, dropMove, moveError, moving, visibilitiesToAdd, paste, insertTemplate };
}

export type TreeActions = ReturnType<typeof useTreeActions>;

/** The paste of a cut node worked, but the original could not be removed. */
export class CutNotRemovedError extends PlainError {
  constructor(cause: unknown) {
    super("The node was pasted, but the original could not be removed from where it was cut. Delete it there yourself.", cause);
  }
}
