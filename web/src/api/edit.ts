// The engine's write methods, one function each. Every change the app makes goes through here.
import { PlainError } from "../errors/messages";
import { rpc } from "./client";
import type { TreeType, ValidationFinding } from "./types";

export interface TreeRef {
  treeType: TreeType;
  id: number;
}

const tree = (t: TreeRef) => ({ i_lTreeType: t.treeType, i_lID: t.id });

export interface NodeFields {
  short: string;
  long: string;
  /** A ";"-list. */
  visibilities: string;
  /** A ";"-list; ";" = none. */
  faqs: string;
  /** -1 = no link. */
  hyperlink: number;
}

export const createEmptyTree = (t: TreeRef) => rpc<null>("TSDOM.CreateEmptyTree", tree(t));

export const createTreeFromTree = (source: TreeRef, dest: TreeRef) =>
  rpc<null>("TSDOM.createTreeFromTree", {
    i_lSourceTreeType: source.treeType,
    i_lSourceID: source.id,
    i_lDestTreeType: dest.treeType,
    i_lDestID: dest.id,
  });

/** Empty owner = the caller holds the tree now; else the login of the holder. */
export async function checkOut(t: TreeRef): Promise<string> {
  const r = await rpc<{ o_sOwner?: string } | null>("TSDOM.CheckOut", { ...tree(t), o_sOwner: "" });
  return r?.o_sOwner ?? "";
}

export const undoEdits = (t: TreeRef) =>
  rpc<null>("TSDOM.UndoEditTree", { i_lPrID: t.id, i_lTreeType: t.treeType });

export const publish = (t: TreeRef, comment: string, force: boolean) =>
  rpc<null>("TSDOM.PublishWithComment", { ...tree(t), i_sComment: comment, i_bForce: force });

export const validate = (t: TreeRef) => rpc<ValidationFinding[] | { findings: ValidationFinding[] }>("Tree.Validate", tree(t));

export const deleteTree = (t: TreeRef) => rpc<null>("TSDOM.deleteTree", { i_lPrID: t.id, i_lTreeType: t.treeType });

export const addChildNew = (t: TreeRef, parentId: number, repType: number, f: NodeFields) =>
  rpc<number>("TSDOM.AddChildNew", {
    ...tree(t),
    i_lCurrentNodeID: parentId,
    i_lRepType: repType,
    i_sSDesc: f.short,
    i_sLDesc: f.long,
    i_sVisibilities: f.visibilities,
    i_sFAQs: f.faqs,
    i_lHyperlinkNodeID: f.hyperlink,
  });

export const addChildFromRep = (
  t: TreeRef,
  parentId: number,
  repType: number,
  repId: number,
  visibilities: string,
) =>
  rpc<number>("TSDOM.AddChildFromRep", {
    ...tree(t),
    i_lCurrentNodeID: parentId,
    i_lRepType: repType,
    i_lRepID: repId,
    i_sVisibilities: visibilities,
    i_sFAQs: ";",
    i_lHyperlinkNodeID: -1,
  });

export const saveNode = (
  t: TreeRef,
  nodeId: number,
  repId: number,
  f: NodeFields,
  propagateContent: boolean,
  propagateVisibilitiesDown: boolean,
) =>
  rpc<null>("TSDOM.SaveNode", {
    ...tree(t),
    i_lNodeID: nodeId,
    i_lRepID: repId,
    i_sSDesc: f.short,
    i_sLDesc: f.long,
    i_bPropogateContent: propagateContent,
    i_sVisibilities: f.visibilities,
    i_bPropogateVisibDown: propagateVisibilitiesDown,
    i_sFAQs: f.faqs,
    i_lHyperlinkNodeID: f.hyperlink,
  });

/** Returns the parent's node id. */
export const deleteNode = (t: TreeRef, nodeId: number) => rpc<number>("TSDOM.DeleteNode", { ...tree(t), i_lNodeID: nodeId });

export const MOVE_UP = 1;
export const MOVE_DOWN = 2;
export const moveNode = (t: TreeRef, nodeId: number, direction: typeof MOVE_UP | typeof MOVE_DOWN) =>
  rpc<null>("TSDOM.MoveNode", { ...tree(t), i_lNodeID: nodeId, i_lDirection: direction });

export interface NodeRef extends TreeRef {
  nodeId: number;
}

const pair = (src: NodeRef, dst: NodeRef) => ({
  i_lSrcTreeType: src.treeType,
  i_lSrcID: src.id,
  i_lSrcNodeID: src.nodeId,
  i_lDstTreeType: dst.treeType,
  i_lDstID: dst.id,
  i_lDstNodeID: dst.nodeId,
});

export const getVisibilitiesToAdd = (src: NodeRef, dst: NodeRef) => rpc<string>("TSDOM.GetVisibilitiesToAdd", pair(src, dst));

export const paste = (src: NodeRef, dst: NodeRef, visibilitiesToAdd: string) =>
  rpc<null>("TSDOM.Paste", { ...pair(src, dst), i_sSelectedVisibToAdd: visibilitiesToAdd });

/** Returns the invalidity reason; 0 = grafted. */
export async function addTemplateToNode(templateId: number, dst: NodeRef, visibilitiesToAdd: string): Promise<number> {
  const r = await rpc<{ o_lInvalidityReason?: number } | null>("TSDOM.AddTemplateToNode", {
    i_lTemplateID: templateId,
    i_lTreeType: dst.treeType,
    i_lID: dst.id,
    i_lNodeID: dst.nodeId,
    i_sVisibToAdd: visibilitiesToAdd,
    o_lInvalidityReason: 0,
  });
  return r?.o_lInvalidityReason ?? 0;
}

export const createTemplateInfo = (name: string, comment: string, productCategory: number) =>
  rpc<number>("TSDOM.CreateNewTemplateInfo", { i_sName: name, i_sComment: comment, i_lProductCategory: productCategory });

export const updateTemplateInfo = (id: number, name: string, comment: string, productCategory: number) =>
  rpc<null>("TSDOM.UpdateTemplateInfo", {
    i_lTemplateID: id,
    i_sName: name,
    i_sComment: comment,
    i_lProductCategory: productCategory,
  });

export const deleteTemplateInfo = (id: number) => rpc<unknown>("TSDOM.deleteTemplateInfo", { i_lID: id });

/** Ends another user's check-out, discarding their working copy (admin); returns the former holder. */
export const releaseCheckOut = (t: TreeRef) => rpc<string>("Admin.ReleaseCheckOut", tree(t));

/** A new empty tree, checked out to the user at once so they can start adding nodes. */
export async function createTreeForEditing(t: TreeRef): Promise<void> {
  await createEmptyTree(t);
  try {
    await checkOut(t);
  } catch (e) {
    throw new PlainError("The tree was created, but it could not be checked out for you. Open it and check it out.", e);
  }
}
